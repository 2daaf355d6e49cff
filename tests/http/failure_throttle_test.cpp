#include "server/http/failure_throttle.h"

#include <gtest/gtest.h>

#include <string>

namespace halvenor::http {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(FailureThrottleTest, BurstThenRefillPerAddress) {
  FailureThrottle throttle(FailureThrottle::Settings{.burst = 3, .refill_per_second = 0.5, .max_addresses = 10});
  const auto start = FailureThrottle::Clock::time_point{} + seconds(1000);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(throttle.refusal("192.0.2.1", start)) << i;
    throttle.record_failure("192.0.2.1", start);
  }
  EXPECT_EQ(throttle.refusal("192.0.2.1", start), seconds(2));
  EXPECT_FALSE(throttle.refusal("192.0.2.2", start));  // others keep their own budget
  EXPECT_EQ(throttle.refusal("192.0.2.1", start + milliseconds(1500)), seconds(1));
  EXPECT_FALSE(throttle.refusal("192.0.2.1", start + seconds(2)));
}

TEST(FailureThrottleTest, ManyAddressesStayWithinBoundAndRefilledOnesAreForgotten) {
  FailureThrottle throttle(FailureThrottle::Settings{.burst = 1, .refill_per_second = 1, .max_addresses = 4});
  const auto start = FailureThrottle::Clock::time_point{} + seconds(1000);
  for (int i = 0; i < 100; ++i) throttle.record_failure("198.51.100." + std::to_string(i), start);
  EXPECT_LE(throttle.tracked(), 4u);
  // The most recently charged are still held back.
  EXPECT_TRUE(throttle.refusal("198.51.100.99", start));
  throttle.record_failure("203.0.113.1", start + seconds(120));
  EXPECT_EQ(throttle.tracked(), 1u);
}

}  // namespace
}  // namespace halvenor::http
