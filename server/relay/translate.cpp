#include "server/relay/translate.h"

#include <cstring>

namespace relay {
namespace {

constexpr std::size_t kArpLength = 28;

std::uint16_t read16(const std::uint8_t* p) { return static_cast<std::uint16_t>((p[0] << 8) | p[1]); }

std::uint32_t read32(const std::uint8_t* p)
{
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

void writeMac(std::uint8_t* p, std::uint64_t mac)
{
    for (int i = 0; i < 6; ++i)
        p[i] = static_cast<std::uint8_t>(mac >> (40 - 8 * i));
}

std::size_t writeHeader(std::uint8_t* out, std::uint64_t destination, std::uint64_t source,
                        std::uint16_t type)
{
    writeMac(out, destination);
    writeMac(out + 6, source);
    out[12] = static_cast<std::uint8_t>(type >> 8);
    out[13] = static_cast<std::uint8_t>(type);
    return kEthernetHeader;
}

} // namespace

std::size_t ipPacketLength(const std::uint8_t* packet, std::size_t length)
{
    if (length < 20)
        return 0;
    std::size_t total = 0;
    if ((packet[0] >> 4) == 4 && (packet[0] & 0x0F) >= 5) {
        total = read16(packet + 2);
        if (total < std::size_t{packet[0] & 0x0Fu} * 4)
            return 0;
    }
    else if ((packet[0] >> 4) == 6 && length >= 40)
        total = 40 + std::size_t{read16(packet + 4)};
    return total >= 20 && total <= length ? total : 0;
}

std::uint64_t groupMacFor(const std::uint8_t* packet, std::size_t length)
{
    if (length >= 20 && (packet[0] >> 4) == 4 && (packet[16] >> 4) == 0xE)
        return 0x01005E000000ull | (read32(packet + 16) & 0x7FFFFFu);
    if (length >= 40 && (packet[0] >> 4) == 6 && packet[24] == 0xFF)
        return 0x333300000000ull | read32(packet + 36);
    return kBroadcastMac;
}

std::size_t frameIpPacket(const std::uint8_t* packet, std::size_t length, std::uint64_t destination,
                          std::uint64_t source, std::uint8_t* out)
{
    if (ipPacketLength(packet, length) != length || length + kEthernetHeader > kMaxTranslated)
        return 0;
    writeHeader(out, destination, source, (packet[0] >> 4) == 4 ? kEtherIpv4 : kEtherIpv6);
    std::memcpy(out + kEthernetHeader, packet, length);
    return length + kEthernetHeader;
}

std::size_t stripFrame(const std::uint8_t* frame, std::size_t length, std::uint8_t* out)
{
    if (length < kEthernetHeader || length > kMaxTranslated)
        return 0;
    const std::uint16_t type = read16(frame + 12);
    const std::uint8_t* packet = frame + kEthernetHeader;
    const std::size_t packetLength = ipPacketLength(packet, length - kEthernetHeader);
    if (packetLength == 0 || (type == kEtherIpv4) != ((packet[0] >> 4) == 4) ||
        (type != kEtherIpv4 && type != kEtherIpv6))
        return 0;
    std::memcpy(out, packet, packetLength);
    return packetLength;
}

bool isArpRequest(const std::uint8_t* frame, std::size_t length, std::uint32_t* target)
{
    if (length < kEthernetHeader + kArpLength || read16(frame + 12) != kEtherArp)
        return false;
    const std::uint8_t* arp = frame + kEthernetHeader;
    // Ethernet hardware, IPv4 protocol, 6- and 4-byte addresses, request.
    if (read16(arp) != 1 || read16(arp + 2) != kEtherIpv4 || arp[4] != 6 || arp[5] != 4 ||
        read16(arp + 6) != 1)
        return false;
    *target = read32(arp + 24);
    return true;
}

std::size_t proxyArpReply(const std::uint8_t* request, std::size_t length, std::uint64_t mac,
                          std::uint8_t* out)
{
    std::uint32_t target = 0;
    if (!isArpRequest(request, length, &target))
        return 0;
    const std::uint8_t* ask = request + kEthernetHeader;
    std::uint8_t* arp = out + writeHeader(out, 0, mac, kEtherArp);
    std::memcpy(out, ask + 8, 6); // to the asker's hardware address
    std::memcpy(arp, ask, 6);      // same hardware and protocol description
    arp[6] = 0;
    arp[7] = 2; // reply
    writeMac(arp + 8, mac);
    std::memcpy(arp + 14, ask + 24, 4); // the address asked for is ours
    std::memcpy(arp + 18, ask + 8, 10); // the asker's MAC and address
    return kEthernetHeader + kArpLength;
}

} // namespace relay
