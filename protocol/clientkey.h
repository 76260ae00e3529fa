// The 128-bit client identifier: it authorises UDP endpoint binding, so it is
// random and travels as 32 hex digits.
#pragma once

#include <cstddef>
#include <cstdint>

struct ClientKey {
    std::uint64_t hi = 0;
    std::uint64_t lo = 0;
    bool operator==(const ClientKey& o) const { return hi == o.hi && lo == o.lo; }
    bool operator!=(const ClientKey& o) const { return !(*this == o); }
};

struct ClientKeyHash {
    // The bits are random already; folding them is enough.
    std::size_t operator()(const ClientKey& k) const
    {
        return static_cast<std::size_t>(k.hi ^ (k.lo * 0x9E3779B97F4A7C15ull));
    }
};

constexpr std::size_t kClientKeyHexLength = 32;

// Exactly 32 hex digits, either letter case.
inline bool parseClientKey(const char* text, std::size_t length, ClientKey* key)
{
    if (length != kClientKeyHexLength)
        return false;
    std::uint64_t parts[2] = {0, 0};
    for (std::size_t i = 0; i < length; ++i) {
        const char c = text[i];
        unsigned v;
        if (c >= '0' && c <= '9')
            v = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f')
            v = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            v = static_cast<unsigned>(c - 'A' + 10);
        else
            return false;
        std::uint64_t& part = parts[i / 16];
        part = (part << 4) | v;
    }
    key->hi = parts[0];
    key->lo = parts[1];
    return true;
}

inline void formatClientKey(const ClientKey& key, char out[kClientKeyHexLength])
{
    static const char digits[] = "0123456789abcdef";
    const std::uint64_t parts[2] = {key.hi, key.lo};
    for (std::size_t i = 0; i < kClientKeyHexLength; ++i) {
        const unsigned shift = static_cast<unsigned>(60 - 4 * (i % 16));
        out[i] = digits[(parts[i / 16] >> shift) & 0xF];
    }
}
