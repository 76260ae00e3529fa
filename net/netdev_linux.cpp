#include "net/netdev_linux.h"

#include <arpa/inet.h>
#include <cerrno>
#include <fcntl.h>
#include <linux/capability.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
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

thread_local Failure g_lastFailure = Failure::none;
thread_local int g_lastError = 0;

int fail(Stage stage, int error)
{
    g_lastError = error;
    g_lastFailure = classify(stage, error, haveNetAdmin());
    return -1;
}

// Our routes carry this protocol number (iproute2 shows it as "proto 80").
constexpr unsigned char kRouteProtocol = 80;

int interfaceIndex(const char* name)
{
    ifreq data{};
    if (!fillName(data, name) || !ControlSocket().call(SIOCGIFINDEX, data))
        return 0;
    return data.ifr_ifindex;
}

// One RTM_NEWROUTE or RTM_DELROUTE for 255.255.255.255/32 out of interface
// `index`; the kernel's answer as an errno value (0: done).
int broadcastRouteRequest(int type, int index, const char* source)
{
    struct {
        nlmsghdr header;
        rtmsg route;
        char attributes[64];
    } request{};
    request.header.nlmsg_len = NLMSG_LENGTH(sizeof request.route);
    request.header.nlmsg_type = static_cast<unsigned short>(type);
    request.header.nlmsg_flags =
        NLM_F_REQUEST | NLM_F_ACK | (type == RTM_NEWROUTE ? NLM_F_CREATE | NLM_F_REPLACE : 0);
    request.route.rtm_family = AF_INET;
    request.route.rtm_dst_len = 32;
    request.route.rtm_table = RT_TABLE_MAIN;
    request.route.rtm_protocol = kRouteProtocol;
    request.route.rtm_scope = type == RTM_NEWROUTE ? RT_SCOPE_LINK : RT_SCOPE_NOWHERE;
    request.route.rtm_type = RTN_UNICAST;
    const auto add = [&request](unsigned short kind, const void* data, unsigned short size) {
        auto* attribute = reinterpret_cast<rtattr*>(reinterpret_cast<char*>(&request) +
                                                    NLMSG_ALIGN(request.header.nlmsg_len));
        attribute->rta_type = kind;
        attribute->rta_len = static_cast<unsigned short>(RTA_LENGTH(size));
        std::memcpy(RTA_DATA(attribute), data, size);
        request.header.nlmsg_len = NLMSG_ALIGN(request.header.nlmsg_len) + RTA_ALIGN(attribute->rta_len);
    };
    const in_addr everyone{INADDR_BROADCAST};
    add(RTA_DST, &everyone, sizeof everyone);
    add(RTA_OIF, &index, sizeof index);
    in_addr from{};
    if (source && inet_pton(AF_INET, source, &from) == 1)
        add(RTA_PREFSRC, &from, sizeof from);

    const int fd = socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (fd < 0)
        return errno;
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    int result = EIO;
    if (sendto(fd, &request, request.header.nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) >= 0) {
        alignas(nlmsghdr) char answer[512];
        const ssize_t n = recv(fd, answer, sizeof answer, 0);
        const auto* header = reinterpret_cast<const nlmsghdr*>(answer);
        if (n >= static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) && header->nlmsg_type == NLMSG_ERROR)
            result = -static_cast<const nlmsgerr*>(NLMSG_DATA(header))->error;
    }
    close(fd);
    return result;
}

std::string programPath()
{
    char path[4096];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : std::string("pellora");
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

Failure classify(Stage stage, int error, bool netAdmin)
{
    if (stage == Stage::openNode) {
        if (error == ENOENT || error == ENODEV || error == ENXIO)
            return Failure::driverMissing;
        return error == EACCES || error == EPERM ? Failure::nodeDenied : Failure::other;
    }
    if (error == EBUSY)
        return Failure::busy;
    // With the right, the kernel refuses an attach only for reasons of its own.
    return (error == EPERM || error == EACCES) && !netAdmin ? Failure::rightMissing : Failure::other;
}

bool haveNetAdmin()
{
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    return syscall(SYS_capget, &header, data) == 0 &&
           (data[CAP_TO_INDEX(CAP_NET_ADMIN)].effective & CAP_TO_MASK(CAP_NET_ADMIN)) != 0;
}

Failure lastFailure()
{
    return g_lastFailure;
}

int lastError()
{
    return g_lastError;
}

std::string describe(Failure failure, const std::string& what, int error)
{
    switch (failure) {
    case Failure::driverMissing:
        return "The TUN/TAP driver is missing: /dev/net/tun cannot be used. Load it as root with \"modprobe "
               "tun\", "
               "then join again.";
    case Failure::nodeDenied:
        return "The device node /dev/net/tun does not let your user open it (its permissions allow only "
               "root). "
               "Open it to users once as root with \"chmod 0666 /dev/net/tun\", then join again.";
    case Failure::rightMissing:
        return "Making " + what +
               " needs the CAP_NET_ADMIN right, which this program does not have. Grant it once "
               "with \"sudo setcap cap_net_admin+ep " +
               programPath() + "\", then start the program again.";
    case Failure::busy:
        return "Another program is using " + what +
               ", and only one can use it at a time. Close that program (or "
               "another Pellora), then join again.";
    case Failure::none:
    case Failure::other:
        break;
    }
    return "Could not make " + what + ": " + std::strerror(error) + ". Run the app as root, then join again.";
}

int openInterface(const char* name, bool tap)
{
    ifreq request{};
    if (!fillName(request, name))
        return -1;
    request.ifr_flags = static_cast<short>((tap ? IFF_TAP : IFF_TUN) | IFF_NO_PI);
    const int fd = open(kTunNode, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fail(Stage::openNode, errno);
    if (ioctl(fd, TUNSETIFF, &request) < 0) {
        const int error = errno;
        close(fd);
        return fail(Stage::attach, error);
    }
    g_lastFailure = Failure::none;
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

bool addBroadcastRoute(const char* name, const char* source)
{
    const int index = interfaceIndex(name);
    return index > 0 && broadcastRouteRequest(RTM_NEWROUTE, index, source) == 0;
}

bool removeBroadcastRoute(const char* name)
{
    const int index = interfaceIndex(name);
    if (index <= 0)
        return true; // the route went with its interface
    const int result = broadcastRouteRequest(RTM_DELROUTE, index, nullptr);
    return result == 0 || result == ESRCH;
}

} // namespace netdev
