// Whole journeys against the built service: an exercise from preview to
// cancellation with two receiving computers, and a live incident stood down,
// ending with the audit listing checked as a hash chain.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "server/core/audit_chain.h"
#include "tests/process/process_support.h"

namespace halvenor::testing {
namespace {

using Headers = std::vector<std::pair<std::string, std::string>>;

constexpr const char* kOperator = "op-token-0123456789";
constexpr const char* kAuditor = "aud-token-0123456789";
constexpr const char* kWardPc = "pc1-token-0123456789";
constexpr const char* kDeskPc = "pc2-token-0123456789";

Json directory(Json config) {
  Json users = Json::parse(R"([
    {"id": "op", "role": "operator", "display_name": "Olive", "token": "op-token-0123456789",
     "can_send_sms": true, "can_send_whatsapp": true, "can_send_live": true},
    {"id": "aud", "role": "auditor", "token": "aud-token-0123456789"}])");
  config["users"] = users;
  config["devices"] = Json::parse(R"([
    {"id": "pc-1", "token": "pc1-token-0123456789", "site": "North", "department": "Wards"},
    {"id": "pc-2", "token": "pc2-token-0123456789", "site": "North", "department": "Estates"}])");
  config["contacts"] = Json::parse(R"([
    {"id": "c-1", "display_name": "Carol", "channels": ["sms"], "site": "North", "department": "Wards",
     "phone": "+447700900101"}])");
  config["groups"] = Json::array();
  config["mobile_providers"] = {{"sms", {{"driver", "mock"}}}, {"whatsapp", {{"driver", "mock"}}}};
  config["provider"] = "mock";
  return config;
}

class JourneyTest : public ::testing::Test {
 protected:
  void start(const Json& config) {
    std::string file = folder_.write("config.json", json::indented(config)).string();
    service_ = start_service({"--config", file, "--db", (folder_.path() / "core.sqlite3").string(), "--port", "0"});
  }

  Headers headers(const std::string& token, Headers more = {}) {
    Headers all{{"Host", "127.0.0.1:" + std::to_string(service_.port)}, {"Authorization", std::string("Bearer ") + token}};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }

  HttpReply get(const std::string& target, const std::string& token, Headers more = {}) {
    return http_exchange(service_.port, raw_request("GET", target, headers(token, std::move(more))));
  }

  HttpReply post(const std::string& target, const std::string& token, const Json& body, Headers more = {}) {
    std::string text = json::field_text(body);
    more.emplace_back("Content-Type", "application/json");
    more.emplace_back("Content-Length", std::to_string(text.size()));
    return http_exchange(service_.port, raw_request("POST", target, headers(token, std::move(more)), text));
  }

  Json alert_in_state(const std::string& id) {
    HttpReply state = get("/api/state", kOperator);
    EXPECT_EQ(state.status, 200) << state.body;
    Json snapshot = state.json();
    for (const Json& alert : snapshot["alerts"])
      if (alert["id"] == id) return alert;
    ADD_FAILURE() << "alert " << id << " not in the state: " << state.body.substr(0, 2000);
    return Json::object();
  }

  static std::string display_status(const Json& alert, const std::string& recipient) {
    for (const Json& d : alert["deliveries"])
      if (d["recipient_id"] == recipient && d["channel"] == "desktop") return d["display_status"].get<std::string>();
    return "<no desktop delivery>";
  }

  static std::vector<std::string> ids_of(const HttpReply& poll) {
    std::vector<std::string> ids;
    for (const Json& alert : poll.json()) ids.push_back(alert["id"].get<std::string>());
    return ids;
  }

  // Recomputes every row's hash from its own fields and checks the links;
  // returns the event names in sequence order.
  std::vector<std::string> verified_audit_events() {
    HttpReply audit = get("/api/audit", kAuditor);
    EXPECT_EQ(audit.status, 200) << audit.body;
    std::vector<std::string> events;
    std::string previous;
    long long last_seq = 0;
    for (const Json& row : audit.json()) {
      EXPECT_GT(row["seq"].get<long long>(), last_seq);
      last_seq = row["seq"].get<long long>();
      EXPECT_EQ(row["previous"], previous) << "seq " << last_seq;
      std::string hash = audit_row_hash(row["at"].get<double>(), row["actor"], row["event"].get<std::string>(),
                                        row["detail"].get<std::string>(), row["previous"].get<std::string>());
      EXPECT_EQ(row["hash"], hash) << "seq " << last_seq;
      previous = row["hash"].get<std::string>();
      events.push_back(row["event"].get<std::string>());
    }
    return events;
  }

  TempFolder folder_;
  Service service_;
};

// True when `wanted` occurs in `events` in this order (others may come between).
bool in_order(const std::vector<std::string>& events, const std::vector<std::string>& wanted) {
  std::size_t next = 0;
  for (const auto& e : events)
    if (next < wanted.size() && e == wanted[next]) ++next;
  return next == wanted.size();
}

TEST_F(JourneyTest, ExerciseFromPreviewToCancellation) {
  start(directory(Json{{"mode", "test"}}));
  Json request = {{"test", true},          {"title", "Fire drill"}, {"body", "Evacuate ward 3 by the east stairs"},
                  {"severity", "critical"}, {"ttl_minutes", 30},     {"channels", {"desktop", "sms"}},
                  {"sites", {"North"}}};

  HttpReply preview = post("/api/preview", kOperator, request);
  ASSERT_EQ(preview.status, 200) << preview.body;
  EXPECT_EQ(preview.json()["deliveries"], Json::parse(R"([["pc-1", "desktop"], ["pc-2", "desktop"], ["c-1", "sms"]])"));
  EXPECT_EQ(preview.json()["whatsapp_previews"], Json::array());

  HttpReply created = post("/api/alerts", kOperator, request, {{"Idempotency-Key", "drill-2024-0001"}});
  ASSERT_EQ(created.status, 201) << created.body;
  EXPECT_EQ(created.json()["test"], true);
  const std::string id = created.json()["id"].get<std::string>();
  HttpReply replay = post("/api/alerts", kOperator, request, {{"Idempotency-Key", "drill-2024-0001"}});
  EXPECT_EQ(replay.status, 201);
  EXPECT_EQ(replay.json()["id"], id);

  EXPECT_EQ(ids_of(get("/api/agent/poll", kWardPc)), std::vector<std::string>{id});
  EXPECT_EQ(ids_of(get("/api/agent/poll", kDeskPc)), std::vector<std::string>{id});
  for (const char* event : {"received", "displayed", "acknowledged"}) {
    HttpReply receipt = post("/api/agent/receipt", kWardPc, Json{{"id", id}, {"event", event}});
    EXPECT_EQ(receipt.status, 200) << event << " " << receipt.body;
  }
  EXPECT_EQ(ids_of(get("/api/agent/poll", kWardPc)), std::vector<std::string>{});

  Json active = alert_in_state(id);
  EXPECT_EQ(active["lifecycle"], "active");
  EXPECT_EQ(display_status(active, "pc-1"), "acknowledged");
  EXPECT_EQ(display_status(active, "pc-2"), "pending");
  EXPECT_EQ(active["deliveries"].size(), 3u);

  HttpReply cancelled = post("/api/cancel", kOperator, Json{{"id", id}});
  EXPECT_EQ(cancelled.status, 200) << cancelled.body;
  EXPECT_EQ(cancelled.body, "{\"ok\": true}");
  Json after = alert_in_state(id);
  EXPECT_EQ(after["lifecycle"], "cancelled");
  EXPECT_EQ(display_status(after, "pc-1"), "acknowledged");
  EXPECT_EQ(display_status(after, "pc-2"), "cancelled_not_displayed");
  EXPECT_EQ(ids_of(get("/api/agent/poll", kDeskPc)), std::vector<std::string>{});

  std::vector<std::string> events = verified_audit_events();
  EXPECT_TRUE(in_order(events, {"alert.created.test", "desktop.received", "desktop.displayed", "desktop.acknowledged",
                                "alert.cancelled"}))
      << ::testing::PrintToString(events);
}

TEST_F(JourneyTest, LiveIncidentStoodDownReachesTheSameComputers) {
  Json config = directory(Json{{"mode", "controlled_live"}});
  config["live_desktop"] = {{"enabled", true}, {"assurance_completed", true}, {"assurance_reference", "CSO-2024-17"}};
  start(config);
  EXPECT_NE(service_.banner[0].find(" LIVE DESKTOP ENABLED: "), std::string::npos);

  // One current agent, one that still sends the older capability header.
  const Headers current = {{"X-Halvenor-Agent-Capability", "live-desktop-v2"}};
  const Headers legacy = {{"X-Agent-Capability", "live-desktop-v1"}};
  ASSERT_EQ(get("/api/agent/poll", kWardPc, current).status, 200);
  ASSERT_EQ(get("/api/agent/poll", kDeskPc, legacy).status, 200);

  Json incident = {{"test", false},
                   {"title", "Power failure"},
                   {"body", "Main supply lost; generators running"},
                   {"severity", "critical"},
                   {"ttl_minutes", 60},
                   {"channels", {"desktop"}},
                   {"sites", {"North"}},
                   {"incident_reference", "INC-7731"},
                   {"live_confirmation", "SEND LIVE ALERT"}};
  HttpReply created = post("/api/alerts", kOperator, incident, {{"Idempotency-Key", "incident-7731-a"}});
  ASSERT_EQ(created.status, 201) << created.body;
  EXPECT_EQ(created.json()["test"], false);
  const std::string id = created.json()["id"].get<std::string>();
  EXPECT_EQ(ids_of(get("/api/agent/poll", kWardPc, current)), std::vector<std::string>{id});
  EXPECT_EQ(ids_of(get("/api/agent/poll", kDeskPc, legacy)), std::vector<std::string>{id});
  // Without a live-capable announcement the incident is held back.
  EXPECT_EQ(ids_of(get("/api/agent/poll", kDeskPc)), std::vector<std::string>{});
  EXPECT_EQ(post("/api/agent/receipt", kWardPc, Json{{"id", id}, {"event", "received"}}).status, 200);

  HttpReply refused = post("/api/conclude", kOperator, Json{{"id", id}, {"confirmation", "conclude"}});
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.json(), (Json{{"error", "Confirm the incident stand-down"}}));
  HttpReply concluded = post("/api/conclude", kOperator, Json{{"id", id}, {"confirmation", "CONCLUDE INCIDENT"}});
  ASSERT_EQ(concluded.status, 200) << concluded.body;
  const std::string standdown = concluded.json()["id"].get<std::string>();
  EXPECT_NE(standdown, id);

  for (const auto& [token, capability] : {std::pair{kWardPc, current}, std::pair{kDeskPc, legacy}}) {
    HttpReply poll = get("/api/agent/poll", token, capability);
    ASSERT_EQ(ids_of(poll), std::vector<std::string>{standdown}) << token;
    const Json shown = poll.json()[0];
    EXPECT_EQ(shown["conclusion_of"], id);
    EXPECT_EQ(shown["title"], "Power failure");
    EXPECT_EQ(shown["body"], "Power failure - Incident concluded - resume normal business operations");
    EXPECT_EQ(shown["is_test"], 0);
  }

  Json original = alert_in_state(id);
  EXPECT_EQ(original["lifecycle"], "cancelled");
  EXPECT_EQ(original["conclusion_alert_id"], standdown);
  std::set<std::string> reached, stood_down;
  for (const Json& d : original["deliveries"]) reached.insert(d["recipient_id"].get<std::string>());
  Json standdown_alert = alert_in_state(standdown);
  for (const Json& d : standdown_alert["deliveries"]) stood_down.insert(d["recipient_id"].get<std::string>());
  EXPECT_EQ(reached, (std::set<std::string>{"pc-1", "pc-2"}));
  EXPECT_EQ(stood_down, reached);

  std::vector<std::string> events = verified_audit_events();
  EXPECT_TRUE(in_order(events, {"alert.created.live", "desktop.received", "incident.concluded"}))
      << ::testing::PrintToString(events);
}

}  // namespace
}  // namespace halvenor::testing
