// The limits of the direct-path messages, the one set both ends keep.
#pragma once

#include "protocol/directwire.h"

#include <cstdint>

namespace directlimits {

// Addresses a member lists in `candidates`: the server looks at no more, and
// the client offers no more.
inline constexpr int kCandidates = 8;
// Candidates one direct_peers entry carries: where the relay saw the member,
// then the member's own.
inline constexpr int kPeerCandidates = kCandidates + 1;
// Addresses a client probes for one peer: those, and as many again learned
// from the peer's requests (its NAT may map it anew).
inline constexpr int kProbedCandidates = 2 * kCandidates;
// One candidate's text ("[v6]:port" fits with room to spare); longer is no address.
inline constexpr int kCandidateChars = 64;
// A pair's index fills the index bits of a direct datagram's header word; 0 is none.
inline constexpr std::uint32_t kMaxPairIndex = directwire::kMaxPair;
// Members of a room: the hosts of one /24. No list of room mates (direct_peers,
// path_report) is longer.
inline constexpr int kMaxRoomSize = 254;

} // namespace directlimits
