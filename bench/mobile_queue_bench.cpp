// Mobile delivery queue throughput: one exercise to 2,000 contacts on SMS and
// WhatsApp (4,000 jobs) through the "http" driver to an in-process fake
// gateway on loopback, sent by the queue's own worker.
//
// Prints the time create() took (all rows, jobs and the audit event in one
// transaction), the jobs sent per second once created, and the time from the
// start of create() to the last job sent.
//
// Usage: mobile_queue_bench [contacts] [folder]
#include <stdlib.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>

#include "app/service_parts.h"
#include "companions/mobile/delivery_queue.h"
#include "companions/mobile/mobile_integrations.h"
#include "server/core/core.h"
#include "tests/companions/fake_gateway.h"

namespace {

using halvenor::Json;
using SteadyClock = std::chrono::steady_clock;

constexpr int kDefaultContacts = 2000;
constexpr auto kPollInterval = std::chrono::milliseconds(2);
constexpr auto kGiveUpAfter = std::chrono::minutes(10);

double seconds_since(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

Json bench_config(int contacts, const std::string& url) {
  Json list = Json::array();
  for (int i = 0; i < contacts; ++i) {
    std::string digits = std::to_string(1000000 + i).substr(1);
    list.push_back({{"id", "contact-" + std::to_string(i)},
                    {"display_name", "Contact " + std::to_string(i)},
                    {"phone", "+447700" + digits},
                    {"channels", {"sms", "whatsapp"}},
                    {"site", "North"}});
  }
  Json gateway = {{"driver", "http"}, {"url", url}, {"timeout_seconds", 10}, {"test_recipient", "+447700900999"}};
  return {{"mode", "test"},
          {"provider", "mock"},
          {"mobile_providers", {{"sms", gateway}, {"whatsapp", gateway}}},
          {"live_desktop", {{"enabled", false}}},
          {"sites", {"North"}},
          {"users",
           {{{"id", "it"}, {"role", "operator"}, {"token", "bench-it-credential-0001"}, {"can_manage_users", true}},
            {{"id", "op"},
             {"role", "operator"},
             {"token", "bench-op-credential-0001"},
             {"can_send_sms", true},
             {"can_send_whatsapp", true}}}},
          {"devices", Json::array()},
          {"contacts", list},
          {"groups", Json::array()}};
}

}  // namespace

int main(int argc, char** argv) {
  const int contacts = argc > 1 ? std::atoi(argv[1]) : kDefaultContacts;
  std::string folder;
  if (argc > 2) {
    folder = argv[2];
  } else {
    std::string pattern = (std::filesystem::temp_directory_path() / "halvenor-queue-bench-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) return 1;
    folder = pattern;
  }
  const int jobs = contacts * 2;
  int status = 0;
  {
    halvenor::testing::FakeGateway gateway;
    halvenor::ServiceParts parts(bench_config(contacts, gateway.url()), folder + "/core.sqlite3");
    halvenor::Core& core = parts.core();
    for (const char* account : {"configured-sms", "configured-whatsapp"}) {
      Json tested = parts.mobile().operate("it", {{"action", "test_account"}, {"account_id", account}});
      if (tested["ok"] != true) {
        std::fprintf(stderr, "connection test failed: %s\n", tested.dump().c_str());
        return 1;
      }
      parts.mobile().operate("it", {{"action", "set_sending"}, {"account_id", account}, {"mode", "exercise"},
                                   {"enabled", true}});
    }
    parts.queue().start();

    Json request = {{"test", true},        {"title", "Benchmark"}, {"body", "Queue throughput run."},
                    {"severity", "ticker"}, {"ttl_minutes", 60},    {"channels", {"sms", "whatsapp"}},
                    {"sites", {"North"}}};
    const auto start = SteadyClock::now();
    core.create("op", request, "bench-request-0001");
    const double create_seconds = seconds_since(start);
    const auto created = SteadyClock::now();

    std::int64_t sent = 0, failed = 0;
    while (SteadyClock::now() - start < kGiveUpAfter) {
      {
        halvenor::DbScope scope = core.db();
        Json totals = parts.queue().summary(scope.conn())["totals"];
        sent = totals.value("sent", std::int64_t{0});
        failed = totals.value("failed", std::int64_t{0});
      }
      if (sent + failed >= jobs) break;
      std::this_thread::sleep_for(kPollInterval);
    }
    const double drain_seconds = seconds_since(created);
    const double total_seconds = seconds_since(start);
    parts.queue().stop();

    std::printf("mobile queue: %d contacts x 2 channels = %d jobs, %d sends at once, batches of %d\n", contacts, jobs,
                halvenor::kConcurrentSends, halvenor::kJobsPerBatch);
    std::printf("  create (one transaction):     %8.1f ms\n", create_seconds * 1000);
    std::printf("  sent: %lld, failed: %lld, unique deliveries at the gateway: %zu\n", static_cast<long long>(sent),
                static_cast<long long>(failed), gateway.unique_deliveries());
    std::printf("  queue throughput:             %8.0f jobs/s\n", sent / drain_seconds);
    std::printf("  create to last job sent:      %8.2f s\n", total_seconds);
    status = sent == jobs ? 0 : 1;
  }
  if (argc <= 2) std::filesystem::remove_all(folder);
  return status;
}
