// XOR scrambling of tunnel datagrams, shared by client and relay.
#pragma once

#include <QByteArray>
#include <cstddef>

namespace tunnel {

constexpr int kTrafficKeyLength = 21;

// Returns a scrambled copy; the same call unscrambles. Empty stays empty.
QByteArray scramblePayload(const QByteArray& payload);

// In place, for buffers that are not QByteArrays (relay, reader threads).
// `offset` is the position of data[0] inside the datagram.
void scrambleInPlace(unsigned char* data, std::size_t length, std::size_t offset = 0);

// Key byte for a datagram position, for code that unscrambles single header bytes.
unsigned char keyByteAt(std::size_t position);

} // namespace tunnel
