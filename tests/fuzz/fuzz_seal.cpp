// Opening sealed datagrams: arbitrary bytes never open under a key the input
// does not know, a datagram that opens seals back to exactly its bytes, and
// the replay window admits each counter once.
#include "net/seal.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static seal::Cipher cipher;
    static const bool keyed = [] {
        std::uint8_t key[seal::kKeyBytes];
        for (std::size_t i = 0; i < sizeof key; ++i)
            key[i] = static_cast<std::uint8_t>(i);
        return cipher.setKey(key);
    }();
    if (!keyed)
        std::abort();
    // The first byte picks the mode: 0 opens the input as it is; otherwise the
    // rest is sealed first (so the opening side sees valid datagrams) and one
    // byte, chosen by the first, is flipped when it is odd.
    if (size == 0 || size > 4096)
        return 0;
    std::vector<std::uint8_t> datagram;
    seal::ReplayWindow window;
    if (data[0] == 0) {
        datagram.assign(data + 1, data + size);
    } else {
        const std::size_t length = size - 1;
        datagram.resize(length + seal::kOverhead);
        std::memcpy(datagram.data() + seal::kHeaderBytes, data + 1, length);
        if (cipher.seal({data[0], data[0] * 977u}, datagram.data(), length) != datagram.size())
            std::abort();
        if (data[0] & 1)
            datagram[data[0] % datagram.size()] ^= 0x20;
    }
    const std::vector<std::uint8_t> original = datagram;
    seal::Header header;
    const bool shaped = seal::readHeader(datagram.data(), datagram.size(), &header);
    const long opened = cipher.open(datagram.data(), datagram.size());
    if (opened >= 0) {
        // Only what was sealed here opens; nothing forged does.
        if (!shaped || data[0] == 0 || (data[0] & 1))
            std::abort();
        std::vector<std::uint8_t> again(original.size());
        std::memcpy(again.data() + seal::kHeaderBytes, datagram.data() + seal::kHeaderBytes,
                    static_cast<std::size_t>(opened));
        if (cipher.seal(header, again.data(), static_cast<std::size_t>(opened)) != original.size() ||
            again != original)
            std::abort();
        if (!window.fresh(header.counter))
            std::abort();
        window.accept(header.counter);
        if (window.fresh(header.counter))
            std::abort();
    } else if (data[0] != 0 && !(data[0] & 1)) {
        std::abort(); // a datagram sealed here and left alone must open
    }
    return 0;
}
