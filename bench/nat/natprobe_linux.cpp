// Tells how a NAT maps and filters UDP, as seen from behind it, with a
// reflector on two public addresses and two ports:
//   pellora-natprobe reflect IP1 IP2 PORT1 PORT2
//     answers each datagram with the address and port it came from: from the
//     same socket ("same"), from the other port ("port") or from the other
//     address and port ("addr"), as the datagram asks; ends on SIGTERM/SIGINT.
//   pellora-natprobe classify IP1 IP2 PORT1 PORT2
//     prints "mapping=independent|dependent filtering=independent|address|address-port
//     other-address=reachable|blocked", or "udp=blocked" when IP1:PORT1 does not answer.
//   pellora-natprobe forget [MARK]
//     deletes the connection tracking entries of this network namespace (only
//     those with the connection mark MARK, if given), as a router's restart
//     does: its NAT maps every flow anew.
#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <linux/netfilter/nfnetlink.h>
#include <linux/netfilter/nfnetlink_conntrack.h>
#include <linux/netlink.h>
#include <poll.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

sockaddr_in endpoint(const char* ip, const char* port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    const long p = std::strtol(port, nullptr, 10);
    if (inet_pton(AF_INET, ip, &a.sin_addr) != 1 || p < 1 || p > 65535) {
        std::fprintf(stderr, "natprobe: bad address %s:%s\n", ip, port);
        std::exit(2);
    }
    a.sin_port = htons(static_cast<unsigned short>(p));
    return a;
}

int udpSocket(const sockaddr_in& local)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || bind(fd, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        std::perror("natprobe: bind");
        std::exit(1);
    }
    return fd;
}

std::string text(const sockaddr_in& a)
{
    char ip[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, ip, sizeof ip);
    return std::string(ip) + ':' + std::to_string(ntohs(a.sin_port));
}

// Socket i is IP(i / 2):PORT(i % 2).
int reflect(char** argv)
{
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    pollfd fds[5];
    for (int i = 0; i < 4; ++i)
        fds[i] = {udpSocket(endpoint(argv[i / 2], argv[2 + i % 2])), POLLIN, 0};
    fds[4] = {signalfd(-1, &stopSignals, SFD_CLOEXEC), POLLIN, 0};
    std::puts("ready");
    std::fflush(stdout);
    while (poll(fds, 5, -1) >= 0 && !(fds[4].revents & POLLIN)) {
        for (int i = 0; i < 4; ++i) {
            if (!(fds[i].revents & POLLIN))
                continue;
            char ask[16] = {};
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            if (recvfrom(fds[i].fd, ask, sizeof ask - 1, 0, reinterpret_cast<sockaddr*>(&from), &fromLength) <
                0)
                continue;
            const int answerer = std::strcmp(ask, "port") == 0   ? i ^ 1
                                 : std::strcmp(ask, "addr") == 0 ? 3 - i
                                                                 : i;
            const std::string seen = text(from);
            sendto(fds[answerer].fd, seen.data(), seen.size(), 0, reinterpret_cast<sockaddr*>(&from),
                   sizeof from);
        }
    }
    return 0;
}

// The mapped address:port `to` reports for `fd`, from whichever address it
// answers; empty if nothing comes in three tries.
std::string ask(int fd, const sockaddr_in& to, const char* how)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        sendto(fd, how, std::strlen(how), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 400) == 1) {
            char seen[64] = {};
            if (recv(fd, seen, sizeof seen - 1, 0) > 0)
                return seen;
        }
    }
    return {};
}

int classify(char** argv)
{
    sockaddr_in ephemeral{}; // any address, a port of the system's choice
    ephemeral.sin_family = AF_INET;
    const int probe = udpSocket(ephemeral);
    const std::string first = ask(probe, endpoint(argv[0], argv[2]), "same");
    if (first.empty()) {
        std::puts("udp=blocked");
        return 0;
    }
    const std::string otherPort = ask(probe, endpoint(argv[0], argv[3]), "same");
    const std::string otherAddress = ask(probe, endpoint(argv[1], argv[2]), "same");
    const bool independent = first == otherPort && (otherAddress.empty() || first == otherAddress);
    // Fresh sockets: the NAT has seen nothing from them but the one request.
    const bool fromAnywhere = !ask(udpSocket(ephemeral), endpoint(argv[0], argv[2]), "addr").empty();
    const bool fromOtherPort =
        fromAnywhere || !ask(udpSocket(ephemeral), endpoint(argv[0], argv[2]), "port").empty();
    std::printf("mapping=%s filtering=%s other-address=%s\n", independent ? "independent" : "dependent",
                fromAnywhere    ? "independent"
                : fromOtherPort ? "address"
                                : "address-port",
                otherAddress.empty() ? "blocked" : "reachable");
    return 0;
}

// One ctnetlink delete without a tuple: the kernel flushes the table (by mark, if given).
int forget(const char* markText)
{
    struct {
        nlmsghdr header;
        nfgenmsg family;
        unsigned char attributes[2 * NLA_ALIGN(NLA_HDRLEN + 4)];
    } request{};
    request.header.nlmsg_type = (NFNL_SUBSYS_CTNETLINK << 8) | IPCTNL_MSG_CT_DELETE;
    request.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK;
    request.family.nfgen_family = AF_INET;
    request.family.version = NFNETLINK_V0;
    std::size_t used = 0;
    if (markText) {
        const auto mark = static_cast<std::uint32_t>(std::strtoul(markText, nullptr, 0));
        const std::uint32_t values[2] = {htonl(mark), 0xFFFFFFFFu};
        const unsigned short types[2] = {CTA_MARK, CTA_MARK_MASK};
        for (int i = 0; i < 2; ++i) {
            nlattr attribute{static_cast<unsigned short>(NLA_HDRLEN + 4), types[i]};
            std::memcpy(request.attributes + used, &attribute, sizeof attribute);
            std::memcpy(request.attributes + used + NLA_HDRLEN, &values[i], 4);
            used += NLA_ALIGN(NLA_HDRLEN + 4);
        }
    }
    request.header.nlmsg_len = static_cast<unsigned>(NLMSG_LENGTH(sizeof(nfgenmsg)) + used);
    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_NETFILTER);
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (fd < 0 || sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
                         sizeof kernel) < 0) {
        std::perror("natprobe: netlink");
        return 1;
    }
    alignas(nlmsghdr) char answer[256];
    const ssize_t got = recv(fd, answer, sizeof answer, 0);
    const auto* reply = reinterpret_cast<const nlmsghdr*>(answer);
    const int error = got >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) &&
                              reply->nlmsg_type == NLMSG_ERROR
                          ? -static_cast<const nlmsgerr*>(NLMSG_DATA(reply))->error
                          : EIO;
    close(fd);
    // Nothing to delete is no failure.
    if (error != 0 && error != ENOENT) {
        std::fprintf(stderr, "natprobe: forget: %s\n", std::strerror(error));
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 6 && std::strcmp(argv[1], "reflect") == 0)
        return reflect(argv + 2);
    if (argc == 6 && std::strcmp(argv[1], "classify") == 0)
        return classify(argv + 2);
    if ((argc == 2 || argc == 3) && std::strcmp(argv[1], "forget") == 0)
        return forget(argc == 3 ? argv[2] : nullptr);
    std::fputs("usage: pellora-natprobe reflect|classify IP1 IP2 PORT1 PORT2 | forget [MARK]\n", stderr);
    return 2;
}
