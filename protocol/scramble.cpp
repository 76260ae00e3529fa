#include "protocol/scramble.h"

#include <cstdint>
#include <cstring>

namespace tunnel {
namespace {

constexpr std::size_t kWord = sizeof(std::uint64_t);
// Eight key periods line up with 8-byte words.
constexpr std::size_t kPeriod = kTrafficKeyLength * kWord;

// The key repeated over a period and one word more, built once: per datagram
// only the XOR remains. Assembled from pieces so the key does not sit in the
// binary as one string.
struct KeyStream {
    unsigned char bytes[kPeriod + kWord];
    KeyStream()
    {
        const char* parts[] = {"Pell", "0ra-", "LanT", "unn3", "l-K3", "y"};
        char key[kTrafficKeyLength];
        int n = 0;
        for (const char* part : parts)
            for (const char* c = part; *c; ++c)
                key[n++] = *c;
        for (std::size_t i = 0; i < sizeof bytes; ++i)
            bytes[i] = static_cast<unsigned char>(key[i % kTrafficKeyLength]);
    }
};

const unsigned char* keyStream()
{
    static const KeyStream stream;
    return stream.bytes;
}

} // namespace

unsigned char keyByteAt(std::size_t position)
{
    return keyStream()[position % kTrafficKeyLength];
}

void scrambleInPlace(unsigned char* data, std::size_t length, std::size_t offset)
{
    // A word at a time against the key repeated, then the tail byte by byte:
    // the same result as the byte loop, several times faster on full-size packets.
    const unsigned char* stream = keyStream();
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
