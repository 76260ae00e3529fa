// The tunnel heartbeat, Qt-free so that the relay and the client's engine
// units share it. A plain heartbeat is the compact JSON object
// {"client_id":"<32 hex digits>"}, optionally followed by the adapter mode the
// client runs, "layer":2 or 3 (built by control::encodeHeartbeat). A sealed
// one is a sealed datagram with the heartbeat bit whose one byte of payload is
// that mode.
#pragma once

#include "protocol/clientkey.h"
#include "protocol/seal.h"

#include <cstddef>
#include <cstdint>

namespace heartbeat {

// Tunnel traffic is scrambled and never begins with this byte on purpose: a
// scrambled packet whose first byte happens to be "{" is taken for a heartbeat
// and dropped.
constexpr std::uint8_t kPlainFirstByte = '{';

inline bool isPlain(const std::uint8_t* data, std::size_t length)
{
    return length > 0 && data[0] == kPlainFirstByte;
}

// A datagram that may be a sealed heartbeat: a byte of payload at most, and
// the heartbeat bit in its first byte. Only opening it tells for sure.
inline bool maybeSealed(const std::uint8_t* data, std::size_t length)
{
    return length > 0 && length <= seal::kOverhead + 1 && (data[0] & (seal::kHeartbeat >> 24));
}

// Reads a plain heartbeat; `*layer` is 0 without the mode. Blanks between
// tokens are tolerated; nothing else is accepted.
bool parse(const std::uint8_t* data, std::size_t length, ClientKey* key, int* layer);

} // namespace heartbeat
