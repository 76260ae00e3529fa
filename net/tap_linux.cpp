// The layer-2 adapter on Linux: a TAP interface without packet information
// header. An administrator can create it once for an ordinary user ("ip
// tuntap add dev NAME mode tap user USER"); attaching to it then needs no
// rights. The engine's reader waits in poll() on the device and an eventfd.
#include "net/adapter.h"
#include "net/netdev_linux.h"

#include <unistd.h>

namespace adapter {

const char* const kTapMissingText = "TUN/TAP driver not found: /dev/net/tun does not exist. Load it as root "
                                    "with \"modprobe tun\" to use Layer 2 "
                                    "mode.";

namespace {

class TapDevice : public Device
{
public:
    TapDevice(int fd, int wakeFd) : fd_(fd), wakeFd_(wakeFd) {}
    ~TapDevice() override
    {
        ::close(fd_);
        ::close(wakeFd_);
    }
    std::size_t receive(unsigned char* buffer, std::size_t capacity) override
    {
        const ssize_t n = ::read(fd_, buffer, capacity);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    void wait() override { netdev::waitReadable(fd_, wakeFd_); }
    void wake() override { netdev::wake(wakeFd_); }
    void write(const unsigned char* data, std::size_t length) override { (void)!::write(fd_, data, length); }

private:
    int fd_;
    int wakeFd_; // written by wake(), never drained
};

Opened failed()
{
    const netdev::Failure failure = netdev::lastFailure();
    return {nullptr,
            Failure{failure == netdev::Failure::driverMissing ? "Driver Missing" : "Permission Error",
                    netdev::describe(failure, "the TAP interface pellora0", netdev::lastError())}};
}

} // namespace

Opened openLayer2(const std::string& instanceId)
{
    const int fd = netdev::openInterface(instanceId.c_str(), true);
    if (fd < 0)
        return failed();
    const int wakeFd = netdev::openWake();
    if (wakeFd < 0) {
        ::close(fd);
        return failed();
    }
    // The carrier follows the attached descriptor; the link must be up too.
    // Without the right to do so an administrator's "ip link set NAME up" serves.
    netdev::setUp(instanceId.c_str());
    return {std::make_unique<TapDevice>(fd, wakeFd), std::nullopt};
}

} // namespace adapter
