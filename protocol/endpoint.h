// A UDP socket address as the kernel reads and writes it (sockaddr_in or
// sockaddr_in6), Qt-free: the client's tunnel socket and the relay both use
// it. Compared and hashed as bytes; `length` 0 means no usable address.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

struct Endpoint {
    alignas(8) unsigned char bytes[28] = {}; // large enough for sockaddr_in6
    std::uint32_t length = 0;
    bool operator==(const Endpoint& o) const
    {
        return length == o.length && std::memcmp(bytes, o.bytes, length) == 0;
    }
};

struct EndpointHash {
    std::size_t operator()(const Endpoint& a) const
    {
        // FNV-1a over the address bytes; peers cannot choose their source
        // addresses freely enough to make collisions a concern.
        std::uint64_t h = 0xcbf29ce484222325ull;
        for (std::uint32_t i = 0; i < a.length && i < sizeof a.bytes; ++i) {
            h ^= a.bytes[i];
            h *= 0x100000001b3ull;
        }
        return static_cast<std::size_t>(h);
    }
};
