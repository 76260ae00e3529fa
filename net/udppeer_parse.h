// Numeric address parsing shared by the two socket units. They include their
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

} // namespace udp::detail
