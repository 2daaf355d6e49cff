#include "agent/poll_schedule.h"

#include <algorithm>
#include <cmath>

namespace halvenor::agent {

double poll_delay(const PollTiming& timing, double unit_random) {
  const double spread = std::clamp(timing.jitter, 0.0, 0.9);
  return timing.poll_seconds * (1.0 - spread + 2.0 * spread * std::clamp(unit_random, 0.0, 1.0));
}

double backoff_delay(const PollTiming& timing, int failures, double unit_random) {
  const int exponent = std::clamp(failures - 1, 0, 30);
  const double step = std::min(timing.backoff_cap_seconds, timing.backoff_first_seconds * std::ldexp(1.0, exponent));
  return step * (0.5 + 0.5 * std::clamp(unit_random, 0.0, 1.0));
}

}  // namespace halvenor::agent
