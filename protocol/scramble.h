// The traffic key and in-place scrambling, Qt-free so that the Win32 engine
// units and the relay share them.
#pragma once

#include <cstddef>

namespace tunnel {

constexpr int kTrafficKeyLength = 21;

// XOR with the traffic key; the same call unscrambles. `offset` is the
// position of data[0] inside the datagram.
void scrambleInPlace(unsigned char* data, std::size_t length, std::size_t offset = 0);
// The same into `out`, which must not overlap `in`: a copy and a scramble in one pass.
void scrambleCopy(unsigned char* out, const unsigned char* in, std::size_t length, std::size_t offset = 0);

// Key byte for a datagram position, for code that unscrambles single header bytes.
unsigned char keyByteAt(std::size_t position);

} // namespace tunnel
