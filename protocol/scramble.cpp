#include "protocol/scramble.h"

#include <cstdint>
#include <cstring>

namespace tunnel {
namespace {

// Assembled from pieces so the key does not sit in the binary as one string.
struct TrafficKey {
    char bytes[kTrafficKeyLength + 1];
    TrafficKey()
    {
        const char* parts[] = {"Pell", "0ra-", "LanT", "unn3", "l-K3", "y"};
        int n = 0;
        for (const char* part : parts)
            for (const char* c = part; *c; ++c)
                bytes[n++] = *c;
        bytes[n] = '\0';
    }
};

} // namespace

unsigned char keyByteAt(std::size_t position)
{
    const TrafficKey key;
    return static_cast<unsigned char>(key.bytes[position % kTrafficKeyLength]);
}

void scrambleInPlace(unsigned char* data, std::size_t length, std::size_t offset)
{
    const TrafficKey key;
    // Eight key periods line up with 8-byte words: XOR a word at a time
    // against the key repeated, then the tail byte by byte. Same result as
    // the byte loop, several times faster on full-size packets.
    constexpr std::size_t kWord = sizeof(std::uint64_t);
    constexpr std::size_t kPeriod = kTrafficKeyLength * kWord;
    unsigned char stream[kPeriod + kWord];
    for (std::size_t i = 0; i < sizeof stream; ++i)
        stream[i] = static_cast<unsigned char>(key.bytes[i % kTrafficKeyLength]);
    std::size_t k = offset % kTrafficKeyLength;
    std::size_t i = 0;
    for (; i + kWord <= length; i += kWord) {
        std::uint64_t word;
        std::uint64_t mask;
        std::memcpy(&word, data + i, kWord);
        std::memcpy(&mask, stream + k, kWord);
        word ^= mask;
        std::memcpy(data + i, &word, kWord);
        k += kWord;
        if (k >= kPeriod)
            k -= kPeriod;
    }
    // Fewer than kWord steps from below kPeriod: k stays inside the stream.
    for (; i < length; ++i)
        data[i] ^= stream[k++];
}

} // namespace tunnel
