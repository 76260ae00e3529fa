// Direct datagrams between the two clients of a pair, Qt-free: sealed as in
// protocol/seal.h under the pair's key, their header word read the same way
// with the pair in place of the session:
//   bit 31 (seal::kFromRelay): the sender's side of the pair rather than the
//     relay, so that the two directions never share a nonce;
//   bit 30 (seal::kPhase): always 0, a pair has no key phases (after a new
//     key the one before is tried a while); a datagram with it set is dropped;
//   bit 29 (seal::kHeartbeat): not data but a probe;
//   bits 0-28 (seal::kIndexMask): the pair's index; the relay's round-trip
//     bit is not used here, so a pair's index may hold it.
// A probe's payload: kind (1 request, 2 answer) and a random 12-byte
// transaction id; an answer is as long as its request.
#pragma once

#include "protocol/seal.h"

#include <cstddef>
#include <cstdint>

namespace directwire {

constexpr std::uint32_t kSide = seal::kFromRelay;
constexpr std::uint32_t kPhase = seal::kPhase;
constexpr std::uint32_t kProbe = seal::kHeartbeat;
// The highest pair index a header carries; 0 is no pair.
constexpr std::uint32_t kMaxPair = seal::kIndexMask;

constexpr std::uint8_t kRequest = 1;
constexpr std::uint8_t kAnswer = 2;
constexpr std::size_t kTxidBytes = 12;
constexpr std::size_t kProbePayload = 1 + kTxidBytes;
constexpr std::size_t kProbeBytes = kProbePayload + seal::kOverhead;

// The header word of a datagram from `side` of `pair`.
constexpr std::uint32_t word(std::uint32_t pair, int side, bool probe)
{
    return (pair & kMaxPair) | (side ? kSide : 0u) | (probe ? kProbe : 0u);
}

// Whether a header's word is one the other side of `pair` sends to `side`.
constexpr bool fromPeer(std::uint32_t word, std::uint32_t pair, int side)
{
    return (word & kPhase) == 0 && (word & kMaxPair) == pair && ((word & kSide) != 0) != (side != 0);
}

} // namespace directwire
