// Random retry delays with exponential spread, shared by every retry loop.
#pragma once

#include <cstdint>
#include <random>

namespace Voro {

// Base and cap of one retry loop, in the loop's own unit.
struct RetryBackoff {
  int64_t minimum;
  int64_t maximum;
};

// The retry loops of the program.
inline constexpr RetryBackoff kLoginLoopBackoff{1000, 256000};
inline constexpr RetryBackoff kQueueAuthenticationBackoff{2000, 30000};
inline constexpr RetryBackoff kQueueTickerBackoff{500, 90000};
inline constexpr RetryBackoff kReconnectBackoff{5000, 15000};

// The upper bound of a delay: minimum x 2^min(attempt, 31), at most maximum. A minimum or
// maximum at or below 0 counts as 1. Never overflows.
int64_t RetryDelayCap(uint32_t attempt, int64_t minimum, int64_t maximum);

// A uniformly distributed delay in [0, RetryDelayCap(attempt, minimum, maximum)], drawn from
// the process-wide minimal-standard engine (seeded once from std::random_device).
// Any thread may call it; the engine is guarded by a lock.
int64_t RetryDelay(uint32_t attempt, int64_t minimum, int64_t maximum);
inline int64_t RetryDelay(uint32_t attempt, const RetryBackoff& backoff) {
  return RetryDelay(attempt, backoff.minimum, backoff.maximum);
}

// The same draw from a caller's engine, so the distribution can be examined with a fixed seed.
int64_t RetryDelayWith(std::minstd_rand& engine, uint32_t attempt, int64_t minimum,
                       int64_t maximum);

// The engine's seed from a device value: the value modulo 2^31 - 1, with 0 becoming 1.
uint32_t RetrySeedFromDevice(uint64_t device_value);

}  // namespace Voro
