// Opening sealed datagrams. A first byte of 0 opens the rest as it is under a key nothing here seals with
// (the fuzzer sees what the other key seals, so it could replay those): nothing forged opens. Otherwise the
// rest is sealed here under a header made from the first byte, one byte flipped when it is odd: only
// untouched datagrams open, and one that opens seals back to exactly its bytes.
#include "protocol/seal.h"

#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static seal::Cipher cipher, stranger;
    static const bool keyed = [] {
        std::uint8_t key[seal::kKeyBytes];
        for (std::size_t i = 0; i < sizeof key; ++i)
            key[i] = static_cast<std::uint8_t>(i);
        const bool ours = cipher.setKey(key);
        for (std::uint8_t& byte : key)
            byte ^= 0xa5;
        return ours && stranger.setKey(key);
    }();
    if (!keyed)
        std::abort();
    if (size == 0 || size > 4096)
        return 0;
    const std::size_t length = size - 1;
    std::vector<std::uint8_t> datagram(data + 1, data + size);
    if (data[0] != 0) {
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
    const long opened = (data[0] == 0 ? stranger : cipher).open(datagram.data(), datagram.size());
    const bool untouched = data[0] != 0 && !(data[0] & 1);
    if ((opened >= 0) != untouched || (opened >= 0 && !shaped))
        std::abort();
    if (opened >= 0 &&
        cipher.seal(header, datagram.data(), static_cast<std::size_t>(opened)) != original.size())
        std::abort();
    if (datagram != original && opened >= 0)
        std::abort();
    return 0;
}
