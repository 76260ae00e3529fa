#include "server/relay/datagram.h"

#include "net/scramble.h"

#include <array>

namespace relay {
namespace {

constexpr std::size_t kEthernetHeader = 14;
constexpr std::size_t kIpv4MinHeader = 20;

// The first bytes of the traffic key, cached: the shared helper rebuilds the
// key on every call, which is too slow for a per-datagram path.
struct HeaderKey {
    std::array<std::uint8_t, kIpv4MinHeader> bytes;
    HeaderKey()
    {
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = tunnel::keyByteAt(i);
    }
};

const HeaderKey& headerKey()
{
    static const HeaderKey key;
    return key;
}

std::uint64_t readMac(const std::uint8_t* data, std::size_t offset, const HeaderKey& key)
{
    std::uint64_t mac = 0;
    for (std::size_t i = offset; i < offset + 6; ++i)
        mac = (mac << 8) | static_cast<std::uint8_t>(data[i] ^ key.bytes[i]);
    return mac;
}

const std::uint8_t* skipBlanks(const std::uint8_t* p, const std::uint8_t* end)
{
    while (p < end && (*p == ' ' || *p == '\t' || *p == '\r' || *p == '\n'))
        ++p;
    return p;
}

bool expect(const std::uint8_t*& p, const std::uint8_t* end, const char* token)
{
    p = skipBlanks(p, end);
    for (; *token; ++token, ++p)
        if (p >= end || *p != static_cast<std::uint8_t>(*token))
            return false;
    return true;
}

} // namespace

DatagramInfo classifyDatagram(const std::uint8_t* data, std::size_t length)
{
    DatagramInfo info;
    if (length == 0 || data == nullptr)
        return info;
    if (data[0] == '{') {
        info.kind = DatagramKind::Heartbeat;
        return info;
    }
    const HeaderKey& key = headerKey();
    if (length >= kIpv4MinHeader) {
        const std::uint8_t first = data[0] ^ key.bytes[0];
        const std::size_t headerLength = std::size_t{first & 0x0Fu} * 4;
        const std::size_t totalLength = (std::size_t{static_cast<std::uint8_t>(data[2] ^ key.bytes[2])} << 8) |
                                        static_cast<std::uint8_t>(data[3] ^ key.bytes[3]);
        if ((first >> 4) == 4 && headerLength >= kIpv4MinHeader && headerLength <= length && totalLength == length) {
            info.kind = DatagramKind::Ipv4;
            for (std::size_t i = 16; i < 20; ++i)
                info.ipv4Destination = (info.ipv4Destination << 8) | static_cast<std::uint8_t>(data[i] ^ key.bytes[i]);
            return info;
        }
    }
    if (length >= kEthernetHeader) {
        info.kind = DatagramKind::Ethernet;
        info.destinationMac = readMac(data, 0, key);
        info.sourceMac = readMac(data, 6, key);
    }
    return info;
}

bool parseHeartbeat(const std::uint8_t* data, std::size_t length, ClientKey* key)
{
    if (data == nullptr)
        return false;
    const std::uint8_t* p = data;
    const std::uint8_t* const end = data + length;
    if (!expect(p, end, "{") || !expect(p, end, "\"client_id\"") || !expect(p, end, ":") || !expect(p, end, "\""))
        return false;
    if (static_cast<std::size_t>(end - p) < kClientKeyHexLength + 1)
        return false;
    if (!parseClientKey(reinterpret_cast<const char*>(p), kClientKeyHexLength, key))
        return false;
    p += kClientKeyHexLength;
    if (!expect(p, end, "\"") || !expect(p, end, "}"))
        return false;
    return skipBlanks(p, end) == end;
}

} // namespace relay
