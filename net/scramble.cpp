#include "net/scramble.h"

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
    std::size_t k = offset % kTrafficKeyLength;
    for (std::size_t i = 0; i < length; ++i) {
        data[i] ^= static_cast<unsigned char>(key.bytes[k]);
        if (++k == kTrafficKeyLength)
            k = 0;
    }
}

QByteArray scramblePayload(const QByteArray& payload)
{
    if (payload.isEmpty())
        return {};
    QByteArray out = payload;
    scrambleInPlace(reinterpret_cast<unsigned char*>(out.data()), static_cast<std::size_t>(out.size()));
    return out;
}

} // namespace tunnel
