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
        // Eight bytes a step (the relay hashes every datagram's source), then
        // mixed so that every byte reaches the low bits; peers cannot choose
        // their source addresses freely enough to make collisions a concern.
        const std::uint32_t length = a.length < sizeof a.bytes ? a.length : std::uint32_t{sizeof a.bytes};
        std::uint64_t h = 0xcbf29ce484222325ull ^ length;
        std::uint32_t i = 0;
        for (; i + 8 <= length; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, a.bytes + i, 8);
            h = (h ^ word) * 0x100000001b3ull;
            h ^= h >> 29;
        }
        std::uint64_t tail = 0;
        std::memcpy(&tail, a.bytes + i, length - i);
        h = (h ^ tail) * 0xbf58476d1ce4e5b9ull;
        return static_cast<std::size_t>(h ^ (h >> 31));
    }
};
