#include "protocol/seal.h"

namespace seal {

bool readHeader(const std::uint8_t* datagram, std::size_t length, Header* header)
{
    if (datagram == nullptr || length < kOverhead)
        return false;
    std::uint32_t word = 0;
    for (std::size_t i = 0; i < 4; ++i)
        word = (word << 8) | datagram[i];
    std::uint64_t counter = 0;
    for (std::size_t i = 4; i < kHeaderBytes; ++i)
        counter = (counter << 8) | datagram[i];
    header->word = word;
    header->counter = counter;
    return true;
}

void writeHeader(const Header& header, std::uint8_t* out)
{
    for (std::size_t i = 0; i < 4; ++i)
        out[i] = static_cast<std::uint8_t>(header.word >> (24 - 8 * i));
    for (std::size_t i = 0; i < 8; ++i)
        out[4 + i] = static_cast<std::uint8_t>(header.counter >> (56 - 8 * i));
}

// The key schedule lives in the platform's objects; clear() frees them there.
Cipher::Cipher() = default;

Cipher::~Cipher()
{
    clear();
}

std::size_t Cipher::seal(const Header& header, std::uint8_t* datagram, std::size_t length)
{
    return seal(header, datagram + kHeaderBytes, length, datagram);
}

std::size_t Cipher::seal(const Header& header, const std::uint8_t* payload, std::size_t length,
                         std::uint8_t* datagram)
{
    if (header.counter >= kCounterLimit)
        return 0;
    writeHeader(header, datagram);
    std::uint8_t* out = datagram + kHeaderBytes;
    if (!encrypt(datagram, datagram, kHeaderBytes, payload, length, out, out + length))
        return 0;
    return length + kOverhead;
}

long Cipher::open(std::uint8_t* datagram, std::size_t length)
{
    if (datagram == nullptr || length < kOverhead)
        return -1;
    const std::size_t payloadLength = length - kOverhead;
    std::uint8_t* payload = datagram + kHeaderBytes;
    if (!decrypt(datagram, datagram, kHeaderBytes, payload, payloadLength, payload, payload + payloadLength))
        return -1;
    return static_cast<long>(payloadLength);
}

bool ReplayWindow::fresh(std::uint64_t counter) const
{
    if (!any_ || counter > newest_)
        return true;
    if (newest_ - counter >= kSpan)
        return false;
    const std::uint64_t bit = counter % (kWords * 64);
    return !(bits_[bit / 64] & (std::uint64_t{1} << (bit % 64)));
}

void ReplayWindow::accept(std::uint64_t counter)
{
    if (!any_) {
        newest_ = counter;
        any_ = true;
    } else if (counter > newest_) {
        // Words after the old newest's hold counters from a lap ago: cleared.
        const std::uint64_t from = newest_ / 64 + 1;
        const std::uint64_t to = counter / 64;
        for (std::uint64_t w = to - from + 1 > kWords ? to - kWords + 1 : from; w <= to; ++w)
            bits_[w % kWords] = 0;
        newest_ = counter;
    }
    const std::uint64_t bit = counter % (kWords * 64);
    bits_[bit / 64] |= std::uint64_t{1} << (bit % 64);
}

void ReplayWindow::reset()
{
    *this = ReplayWindow();
}

} // namespace seal
