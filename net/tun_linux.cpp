// The layer-3 adapter on Linux: a TUN interface without packet information
// header, read and written in place. The reader blocks in poll() on the
// device and an eventfd, so an idle reader costs nothing and stop wakes it at once.
#include "net/adapter.h"
#include "net/netdev_linux.h"

#include <unistd.h>

namespace adapter {
namespace {

const char kName[] = "RIRODedo";

class TunDevice : public Device
{
public:
    explicit TunDevice(int fd) : fd_(fd) {}
    ~TunDevice() override
    {
        if (wakeFd_ >= 0)
            ::close(wakeFd_);
        ::close(fd_);
    }
    bool start() override
    {
        wakeFd_ = netdev::openWake();
        return wakeFd_ >= 0;
    }
    std::size_t receive(unsigned char* buffer, std::size_t capacity) override
    {
        const ssize_t n = ::read(fd_, buffer, capacity);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    void wait() override { netdev::waitReadable(fd_, wakeFd_); }
    void wake() override { netdev::wake(wakeFd_); }
    void write(const unsigned char* data, std::size_t length) override
    {
        // A packet the kernel refuses is lost, as with a full ring.
        (void)!::write(fd_, data, length);
    }

private:
    int fd_;
    int wakeFd_ = -1; // written once by wake(), never drained
};

} // namespace

Opened openLayer3()
{
    if (!netdev::driverPresent())
        return {nullptr,
                Failure{"Driver Error", "The TUN driver is missing: /dev/net/tun does not exist. Load "
                                        "it as root with \"modprobe tun\", then join again."}};
    const int fd = netdev::openInterface(kName, false);
    if (fd < 0) {
        const netdev::Failure failure = netdev::lastFailure();
        return {nullptr,
                Failure{failure == netdev::Failure::driverMissing ? "Driver Error" : "Permission Error",
                        netdev::describe(failure, std::string("the TUN interface ") + kName,
                                         netdev::lastError())}};
    }
    return {std::make_unique<TunDevice>(fd), std::nullopt};
}

} // namespace adapter
