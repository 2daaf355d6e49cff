// Per-address budget for failed authentication attempts.
//
// A token bucket per client address: each failure takes one token, tokens
// come back at a steady rate up to the burst size, and an address with no
// token left is refused until one has come back. Guessing credentials is
// thereby slowed to the refill rate per address, while a caller that only
// occasionally mistypes never notices.
//
// Memory stays bounded whatever the number of addresses: a bucket that has
// refilled completely says nothing a missing one would not, so such buckets
// are pruned, and beyond max_addresses the least recently charged one gives
// way.
//
// Thread-safety: every member may be called from several threads at once.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>

namespace halvenor::http {

class FailureThrottle {
 public:
  using Clock = std::chrono::steady_clock;

  struct Settings {
    double burst = 20;             // failures allowed in a row
    double refill_per_second = 5;  // failures allowed per second after that
    std::size_t max_addresses = 10'000;
  };

  FailureThrottle() : FailureThrottle(Settings{}) {}
  explicit FailureThrottle(Settings settings);

  // How long `address` must wait before its next attempt is considered, in
  // whole seconds (at least 1); nullopt when it may try now.
  std::optional<std::chrono::seconds> refusal(const std::string& address,
                                              Clock::time_point now = Clock::now());

  // Charges one failed attempt to `address`.
  void record_failure(const std::string& address, Clock::time_point now = Clock::now());

  // Addresses currently tracked.
  std::size_t tracked() const;

 private:
  struct Bucket {
    double tokens = 0;
    Clock::time_point updated;
  };

  double refilled(const Bucket& bucket, Clock::time_point now) const;
  void prune(Clock::time_point now);

  const Settings settings_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Bucket> buckets_;
  Clock::time_point next_prune_{};
};

}  // namespace halvenor::http
