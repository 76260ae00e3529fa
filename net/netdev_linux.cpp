#include "net/netdev_linux.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>

namespace netdev {

const char* const kTunNode = "/dev/net/tun";

namespace {

bool fillName(ifreq& request, const char* name)
{
    if (std::strlen(name) >= sizeof request.ifr_name)
        return false;
    std::strncpy(request.ifr_name, name, sizeof request.ifr_name - 1);
    return true;
}

// Any socket serves as a handle for the interface ioctls.
class ControlSocket
{
public:
    ControlSocket() : fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) {}
    ~ControlSocket()
    {
        if (fd >= 0)
            close(fd);
    }
    ControlSocket(const ControlSocket&) = delete;
    ControlSocket& operator=(const ControlSocket&) = delete;
    bool call(unsigned long request, ifreq& data) const { return fd >= 0 && ioctl(fd, request, &data) == 0; }

private:
    int fd;
};

bool setAddressField(const ControlSocket& control, const char* name, unsigned long request, const char* text)
{
    ifreq data{};
    if (!fillName(data, name))
        return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    if (inet_pton(AF_INET, text, &address.sin_addr) != 1)
        return false;
    static_assert(sizeof address <= sizeof data.ifr_addr, "sockaddr_in fits ifr_addr");
    std::memcpy(&data.ifr_addr, &address, sizeof address);
    return control.call(request, data);
}

bool bringUp(const ControlSocket& control, const char* name)
{
    ifreq flags{};
    if (!fillName(flags, name) || !control.call(SIOCGIFFLAGS, flags))
        return false;
    flags.ifr_flags = static_cast<short>(flags.ifr_flags | IFF_UP | IFF_RUNNING);
    return control.call(SIOCSIFFLAGS, flags);
}

} // namespace

bool driverPresent()
{
    return access(kTunNode, F_OK) == 0;
}

int openInterface(const char* name, bool tap)
{
    ifreq request{};
    if (!fillName(request, name))
        return -1;
    request.ifr_flags = static_cast<short>((tap ? IFF_TAP : IFF_TUN) | IFF_NO_PI);
    const int fd = open(kTunNode, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    if (ioctl(fd, TUNSETIFF, &request) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int openWake()
{
    return eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

void wake(int wakeFd)
{
    const std::uint64_t one = 1;
    (void)!write(wakeFd, &one, sizeof one);
}

bool waitReadable(int fd, int wakeFd)
{
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0)
        return false; // interrupted; the caller looks at its flag and comes back
    if (fds[1].revents)
        return false;
    if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) {
        pollfd wakeOnly{wakeFd, POLLIN, 0};
        (void)poll(&wakeOnly, 1, -1);
        return false;
    }
    return (fds[0].revents & POLLIN) != 0;
}

bool assignIpv4(const char* name, const char* address, const char* mask)
{
    const ControlSocket control;
    const bool addressSet = setAddressField(control, name, SIOCSIFADDR, address);
    const bool maskSet = addressSet && setAddressField(control, name, SIOCSIFNETMASK, mask);
    return bringUp(control, name) && maskSet;
}

bool setMtu(const char* name, int mtu)
{
    ifreq data{};
    if (!fillName(data, name))
        return false;
    data.ifr_mtu = mtu;
    return ControlSocket().call(SIOCSIFMTU, data);
}

bool setUp(const char* name)
{
    return bringUp(ControlSocket(), name);
}

} // namespace netdev
