// Address forms shared by the two socket units: numeric parsing, and IPv4
// peers as a dual-stack socket's IPv4-mapped IPv6 ones. They include their
// platform's socket headers (sockaddr_in6, inet_pton, htons) before this one.
#pragma once

#include "net/udpsocket.h"

#include <cstring>

namespace udp::detail {

inline Peer parseNumericPeer(const char* address, std::uint16_t port)
{
    Peer peer;
    sockaddr_in v4{};
    sockaddr_in6 v6{};
    if (inet_pton(AF_INET, address, &v4.sin_addr) == 1) {
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        std::memcpy(peer.bytes, &v4, sizeof v4);
        peer.length = sizeof v4;
    } else if (inet_pton(AF_INET6, address, &v6.sin6_addr) == 1) {
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        std::memcpy(peer.bytes, &v6, sizeof v6);
        peer.length = sizeof v6;
    }
    return peer;
}

// An IPv4 peer as ::ffff:a.b.c.d for an IPv6 socket; any other peer unchanged.
inline Peer mapped(const Peer& peer)
{
    sockaddr_in v4{};
    std::memcpy(&v4, peer.bytes, sizeof v4);
    if (peer.length != sizeof v4 || v4.sin_family != AF_INET)
        return peer;
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = v4.sin_port;
    unsigned char* address = reinterpret_cast<unsigned char*>(&v6.sin6_addr);
    address[10] = address[11] = 0xff;
    std::memcpy(address + 12, &v4.sin_addr, 4);
    Peer out;
    std::memcpy(out.bytes, &v6, sizeof v6);
    out.length = sizeof v6;
    return out;
}

// Back to the IPv4 form every comparison uses (the relay, candidates): a
// datagram from an IPv4 peer reads the same on either kind of socket.
inline void unmap(Peer& peer)
{
    sockaddr_in6 v6{};
    std::memcpy(&v6, peer.bytes, sizeof v6);
    static const unsigned char prefix[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};
    if (peer.length < sizeof v6 || v6.sin6_family != AF_INET6 || std::memcmp(&v6.sin6_addr, prefix, 12) != 0)
        return;
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = v6.sin6_port;
    std::memcpy(&v4.sin_addr, reinterpret_cast<const unsigned char*>(&v6.sin6_addr) + 12, 4);
    peer = Peer{};
    std::memcpy(peer.bytes, &v4, sizeof v4);
    peer.length = sizeof v4;
}

} // namespace udp::detail
