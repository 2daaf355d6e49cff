#include "base/clock.h"

#include <openssl/rand.h>

#include <chrono>
#include <climits>
#include <stdexcept>

namespace halvenor {
namespace {

class SystemClock final : public Clock {
 public:
  double now() override {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
  }
  double monotonic() override {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
  }
};

class OpenSslRandom final : public RandomSource {
 public:
  void fill(unsigned char* out, std::size_t size) override {
    while (size > 0) {
      int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
      if (RAND_bytes(out, chunk) != 1) throw std::runtime_error("secure random source failed");
      out += chunk;
      size -= static_cast<std::size_t>(chunk);
    }
  }
};

}  // namespace

std::shared_ptr<Clock> system_clock() {
  static auto clock = std::make_shared<SystemClock>();
  return clock;
}

std::shared_ptr<RandomSource> system_random() {
  static auto random = std::make_shared<OpenSslRandom>();
  return random;
}

}  // namespace halvenor
