// Shared pieces of the mobile companion tests: a settable clock, a
// repeatable random source, a scratch folder, and a Core configured with a
// handful of mobile contacts.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>

#include "app/service_parts.h"
#include "base/clock.h"
#include "companions/mobile/delivery_queue.h"
#include "companions/mobile/mobile_acknowledgements.h"
#include "companions/mobile/mobile_integrations.h"
#include "server/core/core.h"
#include "tests/support/temp_folder.h"

namespace halvenor::testing {

inline constexpr double kStartTime = 1'750'000'000.0;
inline constexpr const char* kAdmin = "it-admin";
inline constexpr const char* kOperator = "duty-operator";
inline constexpr const char* kTestNumber = "+447700900999";

class FakeClock final : public Clock {
 public:
  double now() override { return now_.load(); }
  double monotonic() override { return now_.load(); }
  void set(double t) { now_ = t; }
  void advance(double seconds) { now_ = now_.load() + seconds; }

 private:
  std::atomic<double> now_{kStartTime};
};

// splitmix64: distinct, repeatable bytes, so ids never collide and jitter is
// the same on every run.
class SequenceRandom final : public RandomSource {
 public:
  void fill(unsigned char* out, std::size_t size) override {
    std::lock_guard lock(mutex_);
    for (std::size_t i = 0; i < size; ++i) {
      if (left_ == 0) {
        std::uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        word_ = z ^ (z >> 31);
        left_ = 8;
      }
      out[i] = static_cast<unsigned char>(word_ >> (8 * --left_));
    }
  }

 private:
  std::mutex mutex_;
  std::uint64_t state_ = 42;
  std::uint64_t word_ = 0;
  int left_ = 0;
};

using TempFolder = test_support::TempFolder;

// Contact "c<n>" with the phone number +44770090nnnn.
inline Json mobile_contact(int n, const Json& channels) {
  std::string digits = std::to_string(10000 + n).substr(1);
  return Json{{"id", "c" + std::to_string(n)},
              {"display_name", "Contact " + std::to_string(n)},
              {"phone", "+44770090" + digits},
              {"channels", channels},
              {"site", "North"}};
}

// A configuration with an IT administrator, an operator allowed to send on
// both mobile channels, and `contacts` contacts c1, c2, ... on both.
inline Json mobile_config(const Json& providers, int contacts = 2, bool live = false) {
  Json list = Json::array();
  for (int i = 1; i <= contacts; ++i) list.push_back(mobile_contact(i, {"sms", "whatsapp"}));
  Json config = {
      {"mode", live ? "controlled_live" : "test"},
      {"provider", "mock"},
      {"mobile_providers", providers},
      {"live_desktop", live ? Json{{"enabled", true}, {"deployment_scope", "home_lab"}} : Json{{"enabled", false}}},
      {"sites", {"North"}},
      {"users",
       {{{"id", kAdmin}, {"role", "operator"}, {"token", "admin-credential-0123456789"}, {"can_manage_users", true}},
        {{"id", kOperator},
         {"role", "operator"},
         {"token", "operator-credential-0123456789"},
         {"can_send_sms", true},
         {"can_send_whatsapp", true},
         {"can_send_live", true}}}},
      {"devices", Json::array()},
      {"contacts", list},
      {"groups", Json::array()},
  };
  return config;
}

inline Json gateway_provider(const std::string& url, double timeout_seconds = 2.0) {
  return Json{{"driver", "http"}, {"url", url}, {"timeout_seconds", timeout_seconds}, {"test_recipient", kTestNumber}};
}

inline Json alert_request(const Json& channels, bool test = true) {
  Json request = {{"test", test},   {"title", "Water outage"}, {"body", "Use bottled water on all wards."},
                  {"severity", "critical"}, {"ttl_minutes", 30}, {"channels", channels},
                  {"sites", {"North"}}};
  if (!test) {
    request["incident_reference"] = "INC-2041";
    request["live_confirmation"] = "SEND LIVE ALERT";
  }
  return request;
}

// A Core on a scratch database with a fake clock and repeatable randomness.
struct MobileWorld {
  explicit MobileWorld(Json config) : config(std::move(config)) { open(); }
  void open() {
    core = nullptr;
    parts.reset();
    parts = std::make_unique<ServiceParts>(config, folder.file("core.sqlite3"), std::nullopt, CoreOptions{clock, random});
    core = &parts->core();
  }
  Json operate(const Json& request) { return parts->mobile().operate(kAdmin, request); }
  // Tests the account and switches its sending on.
  void ready(const std::string& account_id, bool live = false) {
    Json tested = operate({{"action", "test_account"}, {"account_id", account_id}});
    ASSERT_EQ(tested["ok"], true) << tested.dump();
    operate({{"action", "set_sending"}, {"account_id", account_id}, {"mode", "exercise"}, {"enabled", true}});
    if (live) operate({{"action", "set_sending"}, {"account_id", account_id}, {"mode", "live"}, {"enabled", true}});
  }
  std::string create(const Json& channels, const std::string& key = "request-key-0001", bool test = true) {
    return core->create(kOperator, alert_request(channels, test), key);
  }
  std::vector<Json> rows(const std::string& sql, Params params = {}) {
    DbScope scope = core->db();
    return scope->query(sql, params);
  }
  Json one(const std::string& sql, Params params = {}) {
    DbScope scope = core->db();
    auto row = scope->query_one(sql, params);
    return row ? *row : Json(nullptr);
  }
  std::int64_t count(const std::string& sql, Params params = {}) { return one(sql, params)["n"].get<std::int64_t>(); }
  int step() { return parts->queue().process_due(clock->now()); }

  TempFolder folder;
  std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
  std::shared_ptr<SequenceRandom> random = std::make_shared<SequenceRandom>();
  Json config;
  std::unique_ptr<ServiceParts> parts;
  Core* core = nullptr;
};

}  // namespace halvenor::testing
