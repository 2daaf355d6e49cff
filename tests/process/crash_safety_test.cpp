// The service killed outright (SIGKILL) in the middle of a burst of writes
// from several clients, then restarted on the same files: the database is
// intact, the audit chain verifies, every alert is whole, every 201 a client
// saw survived, and retrying what was in flight with the same idempotency key
// gives the stored alert instead of a second one.
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "server/core/audit_chain.h"
#include "server/core/database.h"
#include "tests/process/process_support.h"

namespace halvenor::testing {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kOperator = "op-token-0123456789";
constexpr int kDevices = 12;
constexpr int kClientThreads = 4;
// Clients that only create, so that some creations are in flight at the kill;
// the others follow each creation with receipts, a cancel or a conclusion.
constexpr int kCreationOnlyThreads = 2;
// Creations the clients must have seen acknowledged before the kill, so the
// kill lands in the middle of the burst rather than before it.
constexpr int kCreatedBeforeKill = 24;
constexpr int kMaxRequestsPerThread = 400;

std::string device_token(int i) { return "device-token-" + std::to_string(1000 + i); }

Json directory() {
  Json config = {{"mode", "controlled_live"},
                 {"provider", "mock"},
                 {"mobile_providers", {{"sms", {{"driver", "mock"}}}, {"whatsapp", {{"driver", "mock"}}}}},
                 {"live_desktop", {{"enabled", true}, {"assurance_completed", true}, {"assurance_reference", "CSO-1"}}},
                 {"contacts", Json::array()},
                 {"groups", Json::array()}};
  config["users"] = Json::array({{{"id", "op"}, {"role", "operator"}, {"token", kOperator}, {"can_send_live", true}}});
  Json devices = Json::array();
  for (int i = 0; i < kDevices; ++i)
    devices.push_back({{"id", "pc-" + std::to_string(i)}, {"token", device_token(i)}, {"site", "North"},
                       {"department", "Wards"}});
  config["devices"] = devices;
  return config;
}

// Exercises and live incidents alternate so that conclusions have something to stand down.
Json alert_body(int thread, int n) {
  const bool live = n % 3 == 0;
  Json body = {{"test", !live},
               {"title", "Burst " + std::to_string(thread) + "-" + std::to_string(n)},
               {"body", "Crash safety message"},
               {"severity", "critical"},
               {"ttl_minutes", 30},
               {"channels", {"desktop"}},
               {"sites", {"North"}}};
  if (live) {
    body["live_confirmation"] = "SEND LIVE ALERT";
    body["incident_reference"] = "INC-" + std::to_string(thread) + "-" + std::to_string(n);
  }
  return body;
}

struct Creation {
  std::string key;
  Json body;
  std::string id;  // empty when no 201 was seen
};

class CrashSafetyTest : public ::testing::Test {
 protected:
  std::string db_path() const { return (folder_.path() / "core.sqlite3").string(); }

  void start() {
    service_ = start_service({"--config", config_file_, "--db", db_path(), "--port", "0"});
    port_ = service_.port;
  }

  // Live incidents go only to computers whose agents announced they can show them.
  void announce_live_agents() {
    for (int i = 0; i < kDevices; ++i) {
      Headers headers{{"Host", "127.0.0.1:" + std::to_string(port_)},
                      {"Authorization", "Bearer " + device_token(i)},
                      {"X-Halvenor-Agent-Capability", "live-desktop-v1"}};
      ASSERT_EQ(http_exchange(port_, raw_request("GET", "/api/agent/poll", headers)).status, 200);
    }
  }

  static HttpReply post(int port, const std::string& target, const std::string& token, const Json& body,
                        Headers more = {}) {
    std::string text = json::field_text(body);
    Headers headers{{"Host", "127.0.0.1:" + std::to_string(port)},
                    {"Authorization", "Bearer " + token},
                    {"Content-Type", "application/json"},
                    {"Content-Length", std::to_string(text.size())}};
    headers.insert(headers.end(), more.begin(), more.end());
    return http_exchange(port, raw_request("POST", target, headers, text));
  }

  // One client: creations with keys, receipts from the targeted computers,
  // cancels of exercises and conclusions of incidents, until the service
  // stops answering. Whatever creation was being sent then is in flight.
  void client(int thread, std::vector<Creation>& creations) {
    for (int n = 0; n < kMaxRequestsPerThread; ++n) {
      Creation c{"crash-" + std::to_string(thread) + "-" + std::to_string(n), alert_body(thread, n), ""};
      creations.push_back(c);
      try {
        HttpReply created = post(port_, "/api/alerts", kOperator, c.body, {{"Idempotency-Key", c.key}});
        if (created.status != 201) {
          failures_.fetch_add(1);
          return;
        }
        const std::string id = created.json()["id"].get<std::string>();
        creations.back().id = id;
        created_.fetch_add(1);
        if (thread < kCreationOnlyThreads) continue;
        if (n % 3 != 0) {
          const std::string device = device_token((thread + n) % kDevices);
          for (const char* event : {"received", "displayed", "acknowledged"})
            if (post(port_, "/api/agent/receipt", device, Json{{"id", id}, {"event", event}}).status != 200)
              failures_.fetch_add(1);
        }
        if (n % 3 == 0) {
          if (post(port_, "/api/conclude", kOperator, Json{{"id", id}, {"confirmation", "CONCLUDE INCIDENT"}})
                  .status != 200)
            failures_.fetch_add(1);
        } else if (n % 3 == 1) {
          if (post(port_, "/api/cancel", kOperator, Json{{"id", id}}).status != 200) failures_.fetch_add(1);
        }
      } catch (const std::exception&) {
        return;  // the service is gone; this creation is in flight
      }
    }
  }

  TempFolder folder_;
  std::string config_file_ = folder_.write("config.json", json::indented(directory())).string();
  Service service_;
  int port_ = 0;
  std::atomic<int> created_{0};
  std::atomic<int> failures_{0};
};

TEST_F(CrashSafetyTest, KilledMidBurstRestartsWhole) {
  start();
  announce_live_agents();
  std::vector<std::vector<Creation>> per_thread(kClientThreads);
  std::vector<std::thread> clients;
  for (int t = 0; t < kClientThreads; ++t) clients.emplace_back([&, t] { client(t, per_thread[t]); });
  while (created_.load() < kCreatedBeforeKill && failures_.load() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  service_.process->send_signal(SIGKILL);
  EXPECT_EQ(service_.process->wait_exit(), 128 + SIGKILL);
  for (auto& c : clients) c.join();
  ASSERT_EQ(failures_.load(), 0) << "a request was refused before the kill";

  {
    Connection conn(db_path());
    EXPECT_EQ(conn.query_one("PRAGMA integrity_check")->begin().value(), "ok");
  }
  ChildProcess verify({server_program().string(), "--verify-audit", "--db", db_path()});
  EXPECT_EQ(verify.wait_exit(), 0) << verify.error_text();

  start();
  std::vector<Creation> all;
  for (const auto& list : per_thread) all.insert(all.end(), list.begin(), list.end());
  std::size_t acknowledged = 0;
  {
    Connection conn(db_path());
    for (const Creation& c : all) {
      if (c.id.empty()) continue;
      ++acknowledged;
      auto row = conn.query_one("SELECT request_key FROM alerts WHERE id=?", {c.id});
      ASSERT_TRUE(row.has_value()) << "alert " << c.id << " was acknowledged with 201 but is not on disk";
      EXPECT_EQ((*row)["request_key"], c.key);
    }
  }
  EXPECT_GE(acknowledged, static_cast<std::size_t>(kCreatedBeforeKill));
  // The creation-only clients were each cut off at a creation.
  EXPECT_GE(all.size() - acknowledged, static_cast<std::size_t>(kCreationOnlyThreads));

  // Every request sent again, as a client unsure of the outcome would.
  std::set<std::string> keys;
  for (const Creation& c : all) {
    keys.insert(c.key);
    HttpReply retry = post(port_, "/api/alerts", kOperator, c.body, {{"Idempotency-Key", c.key}});
    ASSERT_EQ(retry.status, 201) << c.key << " " << retry.body;
    if (!c.id.empty()) {
      EXPECT_EQ(retry.json()["id"], c.id) << c.key;
    }
  }

  service_.process->send_signal(SIGTERM);
  EXPECT_EQ(service_.process->wait_exit(), 0);

  Connection conn(db_path());
  EXPECT_EQ(conn.query_one("PRAGMA integrity_check")->begin().value(), "ok");
  ChainVerdict verdict = verify_audit_chain(conn);
  EXPECT_TRUE(verdict.intact) << "broken at " << verdict.broken_seq.value_or(-1) << ": " << verdict.reason;

  EXPECT_EQ(conn.query_one("SELECT COUNT(*) AS n FROM alerts WHERE conclusion_of IS NULL")->at("n"),
            static_cast<long long>(keys.size()));
  // Each alert's own creation event: "alert.created.*" for a raised alert,
  // "incident.concluded" naming it for a stand-down.
  std::map<std::string, int> creation_events;
  for (const Json& row : conn.query("SELECT event, detail FROM audit")) {
    const std::string event = row["event"].get<std::string>();
    const Json detail = json::parse_text(row["detail"].get<std::string>());
    if (event.rfind("alert.created.", 0) == 0) ++creation_events[detail["alert_id"].get<std::string>()];
    if (event == "incident.concluded") ++creation_events[detail["conclusion_alert_id"].get<std::string>()];
  }
  for (const Json& alert : conn.query("SELECT id FROM alerts")) {
    const std::string id = alert["id"].get<std::string>();
    auto deliveries = conn.query_one("SELECT COUNT(*) AS n FROM deliveries WHERE alert_id=?", {id});
    EXPECT_EQ(deliveries->at("n"), kDevices) << "alert " << id;
    EXPECT_EQ(creation_events[id], 1) << "alert " << id;
  }
}

}  // namespace
}  // namespace halvenor::testing
