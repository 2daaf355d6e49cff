// Core operations under hospital-sized directories, measured in-process.
//
//   core_bench [--devices 5000] [--contacts 2000] [--poll-seconds 5] [--history 100000]
//              [--only fanout|snapshot|poll]
//
// Prints one figure per line ("name value unit") for:
//   fan-out   one exercise to every device and contact on desktop+sms+whatsapp
//   snapshot  100 alerts of 1,000 deliveries each, half of them mobile: the
//             document (build, then encode) and the route's text form
//   poll      one device with 50 active alerts among 100,000 historical
//             deliveries (--history), two threads polling as fast as they
//             can; poll_cpu_us is the CPU time of both threads per poll
#include <sys/resource.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/service_parts.h"
#include "server/core/core.h"
#include "server/core/snapshot.h"

using halvenor::Json;
using Seconds = std::chrono::duration<double>;

namespace {

class BenchClock final : public halvenor::Clock {
 public:
  double now() override {
    std::lock_guard lock(mutex_);
    return now_ += 0.000001;
  }
  double monotonic() override { return now(); }
  void set(double t) {
    std::lock_guard lock(mutex_);
    now_ = t;
  }

 private:
  std::mutex mutex_;
  double now_ = 1'800'000'000.0;
};

long peak_rss_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::stol(line.substr(6));
  return 0;
}

void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

Json directory(int devices, int contacts) {
  Json config = {{"mode", "test"},
                 {"provider", "mock"},
                 {"mobile_providers", {{"sms", {{"driver", "mock"}}}, {"whatsapp", {{"driver", "mock"}}}}},
                 {"users",
                  {{{"id", "op"}, {"role", "operator"}, {"token", "operator-token"}, {"can_send_sms", true},
                    {"can_send_whatsapp", true}}}},
                 {"groups", Json::array()}};
  Json device_list = Json::array(), contact_list = Json::array();
  const char* sites[] = {"North", "South"};
  for (int i = 0; i < devices; ++i)
    device_list.push_back({{"id", "pc-" + std::to_string(i)}, {"token", "device-token-" + std::to_string(i)},
                           {"site", sites[i % 2]}, {"department", "Wards"}});
  for (int i = 0; i < contacts; ++i)
    contact_list.push_back({{"id", "c-" + std::to_string(i)}, {"channels", {"sms", "whatsapp"}},
                            {"site", sites[i % 2]}, {"department", "Wards"}, {"phone", "+4477009" + std::to_string(i)}});
  config["devices"] = device_list;
  config["contacts"] = contact_list;
  return config;
}

Json exercise(const std::vector<std::string>& channels, int ttl_minutes = 120) {
  return {{"test", true},      {"title", "Benchmark exercise"}, {"body", "Measuring fan-out"},
          {"severity", "ticker"}, {"ttl_minutes", ttl_minutes}, {"channels", channels},
          {"sites", {"North", "South"}}};
}

long long count(halvenor::Core& core, const char* table) {
  auto scope = core.db();
  return scope->query_one(std::string("SELECT COUNT(*) AS n FROM ") + table)->at("n").get<long long>();
}

double time_of(const std::function<void()>& f) {
  auto start = std::chrono::steady_clock::now();
  f();
  return Seconds(std::chrono::steady_clock::now() - start).count();
}

// CPU time of this thread or of the whole process, in seconds: on a machine
// shared with other work the wall-clock figures vary with the load, these
// much less.
double cpu_seconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double cpu_time_of(const std::function<void()>& f) {
  double start = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
  f();
  return cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - start;
}

}  // namespace

int main(int argc, char** argv) {
  int devices = 5000, contacts = 2000;
  double poll_seconds = 5;
  int history_deliveries = 100000;
  std::string only;  // one section, for profiling it alone
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string arg = argv[i];
    if (arg == "--devices") devices = std::stoi(argv[i + 1]);
    else if (arg == "--contacts") contacts = std::stoi(argv[i + 1]);
    else if (arg == "--poll-seconds") poll_seconds = std::stod(argv[i + 1]);
    else if (arg == "--history") history_deliveries = std::stoi(argv[i + 1]);
    else if (arg == "--only") only = argv[i + 1];
  }
  auto folder = std::filesystem::temp_directory_path() / ("core_bench_" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  auto clock = std::make_shared<BenchClock>();

  auto wanted = [&](const char* section) { return only.empty() || only == section; };

  if (wanted("fanout")) {
    halvenor::ServiceParts parts(directory(devices, contacts), (folder / "fanout.sqlite3").string(), std::nullopt,
                        {clock, nullptr});
    halvenor::Core& core = parts.core();
    std::string id;
    double cpu = 0;
    double seconds = time_of([&] {
      cpu = cpu_time_of([&] { id = core.create("op", exercise({"desktop", "sms", "whatsapp"}), "fan-out-key-1"); });
    });
    std::printf("fanout_create_ms %.1f\n", seconds * 1000);
    std::printf("fanout_create_cpu_ms %.1f\n", cpu * 1000);
    std::printf("fanout_deliveries %lld\n", count(core, "deliveries"));
    std::printf("fanout_mobile_jobs %lld\n", count(core, "mobile_jobs"));
    std::printf("fanout_audit_rows %lld\n", count(core, "audit"));
  }

  if (wanted("snapshot")) {  // 100 alerts of 1,000 deliveries (500 desktop, 250 contacts x 2 mobile channels)
    halvenor::ServiceParts parts(directory(500, 250), (folder / "snapshot.sqlite3").string(), std::nullopt, {clock, nullptr});
    halvenor::Core& core = parts.core();
    for (int i = 0; i < 100; ++i) core.create("op", exercise({"desktop", "sms", "whatsapp"}), "snapshot-key-" + std::to_string(i));
    std::printf("snapshot_deliveries %lld\n", count(core, "deliveries"));
    core.snapshot();  // warm the statement cache, as a polling dashboard does
    reset_peak_rss();
    long before = peak_rss_kib();
    Json state;
    // Both forms are measured from the same clock reading, so that their
    // texts (the queue's oldest due age among them) can be compared.
    const double snapshot_time = clock->now();
    clock->set(snapshot_time);
    double build_cpu = 0, encode_cpu = 0;
    double build = time_of([&] { build_cpu = cpu_time_of([&] { state = core.snapshot(); }); });
    std::string encoded;
    double encode = time_of([&] { encode_cpu = cpu_time_of([&] { encoded = halvenor::json::field_text(state); }); });
    const std::size_t bytes = encoded.size();
    std::printf("snapshot_ms %.1f\n", build * 1000);
    std::printf("snapshot_encode_ms %.1f\n", encode * 1000);
    std::printf("snapshot_cpu_ms %.1f\n", build_cpu * 1000);
    std::printf("snapshot_encode_cpu_ms %.1f\n", encode_cpu * 1000);
    std::printf("snapshot_peak_rss_growth_kib %ld\n", peak_rss_kib() - before);
    std::printf("snapshot_reply_bytes %zu\n", bytes);
    // What the dashboard route sends: the same bytes, written from the rows.
    const Json caller = {{"role", "operator"}};
    snapshot_text(core, caller);
    reset_peak_rss();
    before = peak_rss_kib();
    std::string text;
    clock->set(snapshot_time);
    double direct_cpu = 0;
    double direct = time_of([&] { direct_cpu = cpu_time_of([&] { text = snapshot_text(core, caller); }); });
    std::printf("snapshot_text_ms %.1f\n", direct * 1000);
    std::printf("snapshot_text_cpu_ms %.1f\n", direct_cpu * 1000);
    std::printf("snapshot_text_peak_rss_growth_kib %ld\n", peak_rss_kib() - before);
    std::printf("snapshot_text_reply_bytes %zu\n", text.size());
    encoded.back() = ',';
    encoded += " \"role\": \"operator\"}";
    std::printf("snapshot_text_matches_document %d\n", text == encoded ? 1 : 0);
  }

  if (wanted("poll")) {
    halvenor::ServiceParts parts(directory(devices, 0), (folder / "poll.sqlite3").string(), std::nullopt, {clock, nullptr});
    halvenor::Core& core = parts.core();
    // History: 20 expired alerts to every device gives 100,000 old deliveries.
    int history = history_deliveries / devices;
    for (int i = 0; i < history; ++i) core.create("op", exercise({"desktop"}, 1), "history-key-" + std::to_string(i));
    clock->set(1'800'000'000.0 + 3600);
    for (int i = 0; i < 50; ++i) core.create("op", exercise({"desktop"}), "active-key-" + std::to_string(i));
    std::printf("poll_history_deliveries %lld\n", count(core, "deliveries"));
    std::printf("poll_active_alerts %zu\n", core.poll("pc-7").size());
    std::atomic<bool> stop{false};
    std::atomic<long long> polls{0};
    std::vector<std::thread> threads;
    auto start = std::chrono::steady_clock::now();
    double cpu_start = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    for (int t = 0; t < 2; ++t)
      threads.emplace_back([&, t] {
        long long n = 0;
        while (!stop) {
          core.poll("pc-" + std::to_string((n * 2 + t) % devices), false, "live-desktop-v1");
          ++n;
        }
        polls += n;
      });
    std::this_thread::sleep_for(Seconds(poll_seconds));
    stop = true;
    for (auto& t : threads) t.join();
    double elapsed = Seconds(std::chrono::steady_clock::now() - start).count();
    double cpu = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
    std::printf("poll_threads 2\n");
    std::printf("polls_per_second %.0f\n", polls / elapsed);
    std::printf("poll_cpu_us %.1f\n", polls > 0 ? cpu / static_cast<double>(polls) * 1e6 : 0.0);
  }
  std::filesystem::remove_all(folder);
  return 0;
}
