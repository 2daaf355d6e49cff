// Seams for time and randomness, so tests can pin every time and id the
// system produces. The system implementations are thread-safe; fakes used by
// tests must be too when the code under test runs threads.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace halvenor {

class Clock {
 public:
  virtual ~Clock() = default;
  // Wall clock: seconds since the Unix epoch, with sub-second precision.
  virtual double now() = 0;
  // Monotonic seconds from an arbitrary origin; only for scheduling.
  virtual double monotonic() = 0;
};

class RandomSource {
 public:
  virtual ~RandomSource() = default;
  // Fills out with cryptographically secure random bytes; throws on failure.
  virtual void fill(unsigned char* out, std::size_t size) = 0;
};

std::shared_ptr<Clock> system_clock();
std::shared_ptr<RandomSource> system_random();

}  // namespace halvenor
