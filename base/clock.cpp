#include "base/clock.h"

#include <chrono>

#include "base/secure_random.h"

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

class SystemRandom final : public RandomSource {
 public:
  void fill(unsigned char* out, std::size_t size) override { fill_secure_random(out, size); }
};

}  // namespace

std::shared_ptr<Clock> system_clock() {
  static auto clock = std::make_shared<SystemClock>();
  return clock;
}

std::shared_ptr<RandomSource> system_random() {
  static auto random = std::make_shared<SystemRandom>();
  return random;
}

}  // namespace halvenor
