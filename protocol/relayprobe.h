// A round trip through the relay between two sealed members of one room, so
// that a member reached through the relay shows its delay too. Qt-free: the
// relay and the client's engine share it.
//
// A sealed session datagram with the probe bit (seal::kRelayProbe), never with
// the heartbeat bit, whose payload is: kind (1 request, 2 answer), a member's
// room address (4 bytes, big-endian), an id (12 bytes). To the relay the
// address names the member it goes to; from the relay, the member it came
// from. The relay forwards it, as long as it came, only to a sealed member of
// the sender's room, a few a second per member; an answer carries its
// request's id.
#pragma once

#include "protocol/seal.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace relayprobe {

constexpr std::uint8_t kRequest = 1;
constexpr std::uint8_t kAnswer = 2;
constexpr std::size_t kIdBytes = 12;
constexpr std::size_t kPayload = 1 + 4 + kIdBytes;
constexpr std::size_t kBytes = kPayload + seal::kOverhead;

using Id = std::array<std::uint8_t, kIdBytes>;

struct Probe
{
    std::uint8_t kind = 0;
    std::uint32_t vip = 0;
    Id id{};
};

// False for anything but a request or an answer of exactly kPayload bytes.
inline bool read(const std::uint8_t* payload, std::size_t length, Probe* out)
{
    if (length != kPayload || (payload[0] != kRequest && payload[0] != kAnswer))
        return false;
    out->kind = payload[0];
    out->vip = std::uint32_t{payload[1]} << 24 | std::uint32_t{payload[2]} << 16 |
               std::uint32_t{payload[3]} << 8 | payload[4];
    std::memcpy(out->id.data(), payload + 5, kIdBytes);
    return true;
}

inline void write(const Probe& probe, std::uint8_t payload[kPayload])
{
    payload[0] = probe.kind;
    for (int i = 0; i < 4; ++i)
        payload[1 + i] = static_cast<std::uint8_t>(probe.vip >> (24 - 8 * i));
    std::memcpy(payload + 5, probe.id.data(), kIdBytes);
}

} // namespace relayprobe
