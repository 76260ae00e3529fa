#include "protocol/scramble.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

namespace tunnel {
namespace {

// Chunks a whole number of key periods long, so the key lines up again at
// every chunk; the stream holds one chunk and one period more, so that a
// chunk is a plain XOR of two arrays from any starting offset.
constexpr std::size_t kChunk = kTrafficKeyLength * 96;

// Assembled from pieces so the key does not sit in the binary as one string.
struct KeyStream {
    unsigned char bytes[kChunk + kTrafficKeyLength];
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

// 32 bytes at a time as a vector (two SSE registers where AVX is not
// allowed), then the tail byte by byte; loads and stores go through memcpy,
// as nothing here is aligned.
using Block = std::uint64_t __attribute__((vector_size(32)));

void xorChunk(unsigned char* out, const unsigned char* in, const unsigned char* key, std::size_t length)
{
    std::size_t i = 0;
    for (; i + sizeof(Block) <= length; i += sizeof(Block)) {
        Block data;
        Block mask;
        std::memcpy(&data, in + i, sizeof data);
        std::memcpy(&mask, key + i, sizeof mask);
        data ^= mask;
        std::memcpy(out + i, &data, sizeof data);
    }
    for (; i < length; ++i)
        out[i] = static_cast<unsigned char>(in[i] ^ key[i]);
}

} // namespace

unsigned char keyByteAt(std::size_t position)
{
    return keyStream()[position % kTrafficKeyLength];
}

void scrambleInPlace(unsigned char* data, std::size_t length, std::size_t offset)
{
    const unsigned char* key = keyStream() + offset % kTrafficKeyLength;
    for (std::size_t at = 0; at < length; at += kChunk)
        xorChunk(data + at, data + at, key, std::min(kChunk, length - at));
}

void scrambleCopy(unsigned char* out, const unsigned char* in, std::size_t length, std::size_t offset)
{
    const unsigned char* key = keyStream() + offset % kTrafficKeyLength;
    for (std::size_t at = 0; at < length; at += kChunk)
        xorChunk(out + at, in + at, key, std::min(kChunk, length - at));
}

} // namespace tunnel
