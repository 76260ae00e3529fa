// Layer-2 platform layer on Linux: a TAP interface without packet
// information header. An administrator can create it once for an ordinary
// user ("ip tuntap add dev NAME mode tap user USER"); attaching to it then
// needs no rights. The engine's reader waits in poll() on the device and an eventfd.
#include "net/tap_api.h"

#include "net/netdev_linux.h"

#include <unistd.h>

struct adapter::LinuxDevice {
    std::string name;
    int fd = -1;
    int wakeFd = -1; // written by cancel, never drained
};

struct tap::ReadContext {};

namespace tap {

const char* const kMissingText = "TUN/TAP driver not found: /dev/net/tun does not exist. Load it as root "
                                 "with \"modprobe tun\" to use Layer 2 "
                                 "mode.";
adapter::Failure openFailure()
{
    const netdev::Failure failure = netdev::lastFailure();
    return {failure == netdev::Failure::driverMissing ? "Driver Missing" : "Permission Error",
            netdev::describe(failure, "the TAP interface pellora0", netdev::lastError())};
}

std::string devicePath(const std::string& instanceId)
{
    return instanceId; // the interface name
}

Device open(const std::string& path)
{
    const int fd = netdev::openInterface(path.c_str(), true);
    if (fd < 0)
        return adapter::invalidDevice();
    const int wakeFd = netdev::openWake();
    if (wakeFd < 0) {
        ::close(fd);
        return adapter::invalidDevice();
    }
    return new adapter::LinuxDevice{path, fd, wakeFd};
}

void setMediaConnected(Device device)
{
    // The carrier follows the attached descriptor; the link must be up too.
    // Without the right to do so an administrator's "ip link set NAME up" serves.
    netdev::setUp(device->name.c_str());
}

ReadContext* beginReading()
{
    return nullptr;
}

void endReading(Device, ReadContext*) {}

int tryRead(Device device, ReadContext*, unsigned char* buffer, int capacity)
{
    const ssize_t n = ::read(device->fd, buffer, static_cast<std::size_t>(capacity));
    return n > 0 ? static_cast<int>(n) : 0;
}

void wait(Device device, ReadContext*)
{
    netdev::waitReadable(device->fd, device->wakeFd);
}

void write(Device device, ReadContext*, const unsigned char* frame, int length)
{
    (void)!::write(device->fd, frame, static_cast<std::size_t>(length));
}

void cancel(Device device)
{
    netdev::wake(device->wakeFd);
}

void close(Device device)
{
    ::close(device->fd);
    ::close(device->wakeFd);
    delete device;
}

} // namespace tap
