// Layer-3 platform layer on Linux: a TUN interface without packet
// information header, used with the same receive, release, allocate and send
// steps as the Windows ring. The reader blocks in poll() on the device and an
// eventfd, so an idle reader costs nothing and stop wakes it at once.
#include "net/wintun_api.h"

#include "net/netdev_linux.h"

#include <unistd.h>

#include <string>
#include <vector>

struct wintun::AdapterObject {
    int fd = -1;
};

struct wintun::SessionObject {
    int fd = -1;     // the adapter's descriptor, owned by the adapter
    int wakeFd = -1; // written once by wakeReader, never drained
    std::vector<std::uint8_t> receiveBuffer = std::vector<std::uint8_t>(kMaxPacketSize);
    std::vector<std::uint8_t> sendBuffer = std::vector<std::uint8_t>(kMaxPacketSize);
    std::uint32_t sendSize = 0;
};

namespace wintun {

const char* const kLoadFailedText = "The TUN driver is missing: /dev/net/tun does not exist. Load it as root "
                                    "with \"modprobe tun\", then join "
                                    "again.";

adapter::Failure createFailure()
{
    const netdev::Failure failure = netdev::lastFailure();
    return {failure == netdev::Failure::driverMissing ? "Driver Error" : "Permission Error",
            netdev::describe(failure, "the TUN interface RIRODedo", netdev::lastError())};
}

bool load()
{
    return netdev::driverPresent();
}

Adapter createAdapter(const char16_t* name, const char16_t*, const std::uint8_t*)
{
    std::string ascii;
    for (const char16_t* c = name; *c; ++c) {
        if (*c < 0x21 || *c > 0x7E)
            return nullptr;
        ascii += static_cast<char>(*c);
    }
    const int fd = netdev::openInterface(ascii.c_str(), false);
    return fd < 0 ? nullptr : new AdapterObject{fd};
}

Session startSession(Adapter adapter, std::uint32_t)
{
    if (!adapter)
        return nullptr;
    const int wakeFd = netdev::openWake();
    if (wakeFd < 0)
        return nullptr;
    auto* session = new SessionObject;
    session->fd = adapter->fd;
    session->wakeFd = wakeFd;
    return session;
}

void endSession(Session session)
{
    if (!session)
        return;
    close(session->wakeFd);
    delete session;
}

void closeAdapter(Adapter adapter)
{
    if (!adapter)
        return;
    close(adapter->fd);
    delete adapter;
}

std::uint8_t* receivePacket(Session session, std::uint32_t* size)
{
    const ssize_t n = read(session->fd, session->receiveBuffer.data(), session->receiveBuffer.size());
    if (n <= 0) {
        *size = 0;
        return nullptr;
    }
    *size = static_cast<std::uint32_t>(n);
    return session->receiveBuffer.data();
}

void releaseReceivePacket(Session, const std::uint8_t*)
{
    // The next receive reuses the buffer.
}

std::uint8_t* allocateSendPacket(Session session, std::uint32_t size)
{
    if (size == 0 || size > kMaxPacketSize)
        return nullptr;
    session->sendSize = size;
    return session->sendBuffer.data();
}

void sendPacket(Session session, const std::uint8_t* packet)
{
    // A packet the kernel refuses is lost, as with a full ring.
    (void)!write(session->fd, packet, session->sendSize);
}

void settleAdapter() {}

void waitForPacket(Session session)
{
    netdev::waitReadable(session->fd, session->wakeFd);
}

void wakeReader(Session session)
{
    netdev::wake(session->wakeFd);
}

} // namespace wintun
