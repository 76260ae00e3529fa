// The smallest tunnel this machine allows, as a floor for bench/lan: no
// scrambling, no filter, no batching. One side: a TUN device whose packets
// go one datagram each to a relay, and back.
//   floor-tunnel side TUNNAME LOCALIP PORT RELAYIP PORT
//   floor-tunnel relay IP PORT A_IP A_PORT B_IP B_PORT
#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

sockaddr_in at(const char* ip, const char* port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<unsigned short>(std::atoi(port)));
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

int boundSocket(const sockaddr_in& local)
{
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::perror("floor-tunnel: bind");
        std::exit(1);
    }
    return fd;
}

int side(char** argv)
{
    ifreq request{};
    std::strncpy(request.ifr_name, argv[0], IFNAMSIZ - 1);
    request.ifr_flags = IFF_TUN | IFF_NO_PI;
    const int tun = open("/dev/net/tun", O_RDWR);
    if (tun < 0 || ioctl(tun, TUNSETIFF, &request) != 0) {
        std::perror("floor-tunnel: tun");
        return 1;
    }
    const int udp = boundSocket(at(argv[1], argv[2]));
    const sockaddr_in relay = at(argv[3], argv[4]);
    if (connect(udp, reinterpret_cast<const sockaddr*>(&relay), sizeof relay) != 0)
        return 1;
    std::thread([tun, udp] {
        char packet[65536];
        for (ssize_t n; (n = read(tun, packet, sizeof packet)) >= 0;)
            send(udp, packet, static_cast<size_t>(n), 0);
    }).detach();
    char packet[65536];
    for (ssize_t n; (n = recv(udp, packet, sizeof packet, 0)) >= 0;)
        (void)!write(tun, packet, static_cast<size_t>(n));
    return 1;
}

int relay(char** argv)
{
    const int udp = boundSocket(at(argv[0], argv[1]));
    const sockaddr_in a = at(argv[2], argv[3]);
    const sockaddr_in b = at(argv[4], argv[5]);
    char packet[65536];
    sockaddr_in from{};
    socklen_t length = sizeof from;
    for (ssize_t n;
         (n = recvfrom(udp, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &length)) >= 0;
         length = sizeof from) {
        const sockaddr_in& to =
            from.sin_addr.s_addr == a.sin_addr.s_addr && from.sin_port == a.sin_port ? b : a;
        sendto(udp, packet, static_cast<size_t>(n), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 7 && std::strcmp(argv[1], "side") == 0)
        return side(argv + 2);
    if (argc == 8 && std::strcmp(argv[1], "relay") == 0)
        return relay(argv + 2);
    std::fprintf(
        stderr,
        "usage: floor-tunnel side TUN LOCALIP PORT RELAYIP PORT | relay IP PORT AIP APORT BIP BPORT\n");
    return 2;
}
