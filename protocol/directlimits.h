// How many addresses direct paths carry, the one limit both ends keep.
#pragma once

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

} // namespace directlimits
