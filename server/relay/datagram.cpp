#include "server/relay/datagram.h"

#include "protocol/heartbeat.h"
#include "protocol/scramble.h"

#include <array>

namespace relay {
namespace {

constexpr std::size_t kEthernetHeader = 14;
constexpr std::size_t kIpv4MinHeader = 20;
constexpr std::size_t kIpv6Header = 40;

// The first bytes of the traffic key, cached: the shared helper rebuilds the
// key on every call, which is too slow for a per-datagram path.
struct HeaderKey {
    std::array<std::uint8_t, kHeaderReach> bytes;
    HeaderKey()
    {
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = tunnel::keyByteAt(i);
    }
    // `count` (at most 8) plain bytes from `offset`, big-endian.
    std::uint64_t read(const std::uint8_t* data, std::size_t offset, std::size_t count) const
    {
        std::uint64_t value = 0;
        for (std::size_t i = offset; i < offset + count; ++i)
            value = (value << 8) | static_cast<std::uint8_t>(data[i] ^ bytes[i]);
        return value;
    }
};

const HeaderKey& headerKey()
{
    static const HeaderKey key;
    return key;
}

} // namespace

DatagramInfo classifyDatagram(const std::uint8_t* data, std::size_t length)
{
    DatagramInfo info;
    if (length == 0 || data == nullptr)
        return info;
    if (heartbeat::isPlain(data, length)) {
        info.kind = DatagramKind::Heartbeat;
        return info;
    }
    info = readIp(data, length);
    if (info.kind != DatagramKind::Runt)
        return info;
    if (readEthernet(data, length, &info))
        info.kind = DatagramKind::Ethernet;
    return info;
}

DatagramInfo readIp(const std::uint8_t* data, std::size_t length)
{
    const HeaderKey& key = headerKey();
    DatagramInfo info;
    if (data != nullptr && length >= kIpv4MinHeader) {
        const std::uint8_t first = data[0] ^ key.bytes[0];
        const std::size_t headerLength = std::size_t{first & 0x0Fu} * 4;
        if ((first >> 4) == 4 && headerLength >= kIpv4MinHeader && headerLength <= length &&
            key.read(data, 2, 2) == length) {
            info.kind = DatagramKind::Ipv4;
            info.ipv4Source = static_cast<std::uint32_t>(key.read(data, 12, 4));
            info.ipv4Destination = static_cast<std::uint32_t>(key.read(data, 16, 4));
            return info;
        }
        if ((first >> 4) == 6 && length >= kIpv6Header && key.read(data, 4, 2) + kIpv6Header == length) {
            info.kind = DatagramKind::Ipv6;
            info.ipv6Source[0] = key.read(data, 8, 8);
            info.ipv6Source[1] = key.read(data, 16, 8);
            info.ipv6Destination[0] = key.read(data, 24, 8);
            info.ipv6Destination[1] = key.read(data, 32, 8);
            return info;
        }
    }
    return info;
}

bool readEthernet(const std::uint8_t* data, std::size_t length, DatagramInfo* info)
{
    if (length < kEthernetHeader || data == nullptr)
        return false;
    const HeaderKey& key = headerKey();
    info->destinationMac = key.read(data, 0, 6);
    info->sourceMac = key.read(data, 6, 6);
    info->etherType = static_cast<std::uint16_t>(key.read(data, 12, 2));
    info->innerSource = 0;
    if (info->etherType == 0x0800 && length >= kEthernetHeader + kIpv4MinHeader)
        info->innerSource = static_cast<std::uint32_t>(key.read(data, 26, 4));
    else if (info->etherType == 0x0806 && length >= 42)
        info->innerSource = static_cast<std::uint32_t>(key.read(data, 28, 4));
    return true;
}

} // namespace relay
