// Bridging layer-2 and layer-3 members of one room: the pure rules, on
// plain (unscrambled) bytes. Each returns the length written to `out`, or 0
// when the input does not qualify; `out` needs kMaxTranslated bytes.
#pragma once

#include <cstddef>
#include <cstdint>

namespace relay {

// Largest datagram the relay forwards; a full Ethernet frame is 1,514 bytes.
constexpr std::size_t kMaxDatagram = 1600;
constexpr std::size_t kEthernetHeader = 14;
constexpr std::size_t kMaxTranslated = kMaxDatagram;

constexpr std::uint16_t kEtherIpv4 = 0x0800;
constexpr std::uint16_t kEtherArp = 0x0806;
constexpr std::uint16_t kEtherIpv6 = 0x86DD;
constexpr std::uint64_t kBroadcastMac = 0xFFFFFFFFFFFFull;

// The MAC that stands for a layer-3 member on the layer-2 side: locally
// administered, unicast, and the member's virtual address in its last four
// bytes, so it is stable for as long as the member keeps its address.
constexpr std::uint64_t kStandInPrefix = 0x0250ull << 32;
constexpr std::uint64_t standInMac(std::uint32_t vip) { return kStandInPrefix | vip; }
constexpr bool isStandInMac(std::uint64_t mac) { return (mac >> 32) == (kStandInPrefix >> 32); }

// Length of the IP packet at `packet` (IPv4 or IPv6, from its own header),
// or 0 when it is not one or claims more than `length` bytes.
std::size_t ipPacketLength(const std::uint8_t* packet, std::size_t length);

// The Ethernet destination for an IP packet whose unicast peer has no known
// MAC: the IPv4/IPv6 multicast group MAC, or broadcast.
std::uint64_t groupMacFor(const std::uint8_t* packet, std::size_t length);

// Layer 3 -> layer 2: the IP packet behind an Ethernet header.
std::size_t frameIpPacket(const std::uint8_t* packet, std::size_t length, std::uint64_t destination,
                          std::uint64_t source, std::uint8_t* out);

// Layer 2 -> layer 3: the IPv4 or IPv6 packet of a frame, without the
// header and without the padding of short frames.
std::size_t stripFrame(const std::uint8_t* frame, std::size_t length, std::uint8_t* out);

// The Ethernet/IPv4 ARP request in `frame` asks for `*target`.
bool isArpRequest(const std::uint8_t* frame, std::size_t length, std::uint32_t* target);

// The answer to that request, from `mac`, addressed to the asker.
std::size_t proxyArpReply(const std::uint8_t* request, std::size_t length, std::uint64_t mac,
                          std::uint8_t* out);

} // namespace relay
