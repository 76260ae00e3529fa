// What the relay needs to know about one datagram, read without copying it.
// Tunnel datagrams are scrambled; only the header bytes routing needs are
// unscrambled, into the result, and the datagram itself is forwarded as it came.
#pragma once

#include "protocol/peerrule.h"

#include <cstddef>
#include <cstdint>

namespace relay {

enum class DatagramKind : std::uint8_t {
    Runt,      // empty, or too short for any header
    Heartbeat, // begins with '{'; the client identifier still has to be parsed
    Ipv4,      // an IPv4 header whose total length is the datagram's length
    Ipv6,      // an IPv6 header whose payload length fills the datagram
    Ethernet,  // anything else of at least an Ethernet header's length
};

struct DatagramInfo {
    DatagramKind kind = DatagramKind::Runt;
    std::uint32_t ipv4Source = 0;      // host byte order
    std::uint32_t ipv4Destination = 0; // host byte order
    std::uint64_t ipv6Source[2] = {};      // Ipv6 only; high, low
    std::uint64_t ipv6Destination[2] = {};
    // Ethernet fields, read by readEthernet().
    std::uint64_t destinationMac = 0; // six bytes, first byte most significant
    std::uint64_t sourceMac = 0;
    std::uint16_t etherType = 0;
    // The IPv4 sender inside the frame (IPv4 source or ARP sender), 0 if none.
    std::uint32_t innerSource = 0;
};

// The readers below look at no byte past this offset, whatever the length says:
// a scrambled copy of that much of a datagram reads like the whole.
constexpr std::size_t kHeaderReach = 64;

DatagramInfo classifyDatagram(const std::uint8_t* data, std::size_t length);
// Reads the datagram as an IP packet only (kind Ipv4, Ipv6 or Runt), also one
// that begins with '{': what the relay made of a frame is checked with this.
DatagramInfo readIp(const std::uint8_t* data, std::size_t length);
// Reads the datagram as a frame (also one that looked like an IP packet);
// false when it is too short for an Ethernet header.
bool readEthernet(const std::uint8_t* data, std::size_t length, DatagramInfo* info);

using peerrule::isBroadcastOrMulticastIpv4;
using peerrule::isGroupMac;
using peerrule::isMulticastIpv6;

} // namespace relay
