// The clock the lobby and relay threads share: their times are compared
// (heartbeats the relay records, timeouts the lobby applies).
#pragma once

#include <cstdint>

// Milliseconds of a monotonic clock.
std::int64_t monotonicMs();
