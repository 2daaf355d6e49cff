// Test doubles for the core's time and randomness seams (base/clock.h).
//
// FakeClock answers the time it was set to until told otherwise, so every
// creation, expiry, receipt and audit time is chosen by the test.
// CountingRandom produces the same byte stream for the same seed, so ids
// differ from one another but a run is repeatable.
// Both are thread-safe, since the core calls them from request threads.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "base/clock.h"

namespace halvenor::test_support {

// An arbitrary fixed start: 2023-11-14 22:13:20 UTC plus a quarter second,
// so times are fractional like real ones.
inline constexpr double kStartTime = 1700000000.25;

class FakeClock final : public Clock {
 public:
  explicit FakeClock(double start = kStartTime) : now_(start), monotonic_(0.0) {}

  double now() override {
    std::lock_guard lock(mutex_);
    return now_;
  }
  double monotonic() override {
    std::lock_guard lock(mutex_);
    return monotonic_;
  }
  void set(double when) {
    std::lock_guard lock(mutex_);
    now_ = when;
  }
  // Moves both clocks forward by `seconds`.
  void advance(double seconds) {
    std::lock_guard lock(mutex_);
    now_ += seconds;
    monotonic_ += seconds;
  }

 private:
  std::mutex mutex_;
  double now_;
  double monotonic_;
};

class CountingRandom final : public RandomSource {
 public:
  explicit CountingRandom(std::uint64_t seed = 1) : state_(seed) {}
  void fill(unsigned char* out, std::size_t size) override;

 private:
  std::mutex mutex_;
  std::uint64_t state_;
};

}  // namespace halvenor::test_support
