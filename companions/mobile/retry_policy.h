// When a mobile job that failed for a passing reason is tried again.
//
// Exponential back-off with "equal jitter": after the n-th failed attempt
// the wait is half of min(kMaxRetrySeconds, kFirstRetrySeconds * 2^(n-1))
// plus a random part of up to the other half, so that jobs that failed
// together (a gateway outage) do not all come back in the same instant.
// A job is given up after kMaxSendAttempts attempts. Thread-safe when the
// random source is.
#pragma once

#include "base/clock.h"

namespace halvenor {

inline constexpr int kMaxSendAttempts = 6;
inline constexpr double kFirstRetrySeconds = 5.0;
inline constexpr double kMaxRetrySeconds = 300.0;

// Seconds to wait after `attempts_made` (1 or more) failed attempts.
double retry_delay(int attempts_made, RandomSource& random);

}  // namespace halvenor
