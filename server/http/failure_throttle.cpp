#include "server/http/failure_throttle.h"

#include <algorithm>
#include <cmath>

namespace halvenor::http {
namespace {

// Full buckets are swept out at most this often outside of memory pressure.
constexpr auto kPruneInterval = std::chrono::seconds(60);

}  // namespace

FailureThrottle::FailureThrottle(Settings settings) : settings_(settings) {}

double FailureThrottle::refilled(const Bucket& bucket, Clock::time_point now) const {
  const double elapsed = std::chrono::duration<double>(now - bucket.updated).count();
  return std::min(settings_.burst, bucket.tokens + std::max(0.0, elapsed) * settings_.refill_per_second);
}

std::optional<std::chrono::seconds> FailureThrottle::refusal(const std::string& address,
                                                             Clock::time_point now) {
  std::lock_guard lock(mutex_);
  const auto found = buckets_.find(address);
  if (found == buckets_.end()) return std::nullopt;
  const double tokens = refilled(found->second, now);
  if (tokens >= 1) return std::nullopt;
  const double wait = settings_.refill_per_second > 0 ? (1 - tokens) / settings_.refill_per_second : 3600;
  return std::chrono::seconds(std::max<long long>(1, static_cast<long long>(std::ceil(wait))));
}

void FailureThrottle::record_failure(const std::string& address, Clock::time_point now) {
  std::lock_guard lock(mutex_);
  auto found = buckets_.find(address);
  if (found == buckets_.end()) {
    if (now >= next_prune_ || buckets_.size() >= settings_.max_addresses) prune(now);
    found = buckets_.emplace(address, Bucket{settings_.burst, now}).first;
  }
  Bucket& bucket = found->second;
  bucket.tokens = std::max(0.0, refilled(bucket, now) - 1);
  bucket.updated = now;
}

std::size_t FailureThrottle::tracked() const {
  std::lock_guard lock(mutex_);
  return buckets_.size();
}

void FailureThrottle::prune(Clock::time_point now) {
  next_prune_ = now + kPruneInterval;
  std::erase_if(buckets_, [&](const auto& entry) { return refilled(entry.second, now) >= settings_.burst; });
  // Still full: failures are arriving from very many addresses at once. The
  // bucket charged longest ago is the one most nearly refilled anyway.
  while (!buckets_.empty() && buckets_.size() >= std::max<std::size_t>(1, settings_.max_addresses)) {
    buckets_.erase(std::min_element(buckets_.begin(), buckets_.end(), [](const auto& a, const auto& b) {
      return a.second.updated < b.second.updated;
    }));
  }
}

}  // namespace halvenor::http
