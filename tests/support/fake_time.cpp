#include "tests/support/fake_time.h"

namespace halvenor::test_support {

void CountingRandom::fill(unsigned char* out, std::size_t size) {
  std::lock_guard lock(mutex_);
  // SplitMix64: a full-period generator whose outputs are well spread, so
  // consecutive ids share no visible pattern.
  for (std::size_t i = 0; i < size; i += 8) {
    std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    for (std::size_t k = 0; k < 8 && i + k < size; ++k) out[i + k] = static_cast<unsigned char>(z >> (8 * k));
  }
}

}  // namespace halvenor::test_support
