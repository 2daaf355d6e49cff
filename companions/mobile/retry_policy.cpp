#include "companions/mobile/retry_policy.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace halvenor {

double retry_delay(int attempts_made, RandomSource& random) {
  int exponent = std::clamp(attempts_made, 1, 32) - 1;
  double ceiling = std::min(kMaxRetrySeconds, kFirstRetrySeconds * std::ldexp(1.0, exponent));
  unsigned char bytes[4];
  random.fill(bytes, sizeof bytes);
  std::uint32_t value = (std::uint32_t{bytes[0]} << 24) | (std::uint32_t{bytes[1]} << 16) |
                        (std::uint32_t{bytes[2]} << 8) | std::uint32_t{bytes[3]};
  double fraction = value / 4294967296.0;  // [0, 1)
  return ceiling / 2 + fraction * (ceiling / 2);
}

}  // namespace halvenor
