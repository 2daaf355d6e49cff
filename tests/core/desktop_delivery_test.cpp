// Desktop agents: channel readiness, the agent profile, polling with its
// heartbeat, capability record and live gating, and the receipt sequence.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/errors.h"
#include "server/core/channel_readiness.h"
#include "server/core/core.h"
#include "tests/support/config_builder.h"
#include "tests/support/core_harness.h"
#include "tests/support/refusal.h"

namespace halvenor {
namespace {

using test_support::ConfigBuilder;
using test_support::CoreHarness;
using test_support::exercise_request;
using test_support::kStartTime;
using test_support::live_request;
using test_support::refusal_of;
using test_support::refused_with;
using Ids = std::vector<std::string>;

const char* const kCancelledOrExpired = "Alert cancelled or expired";
const char* const kSequence = "Receipt sequence must be received, displayed, acknowledged";

// Live desktop in `scope`, with a second computer in the North.
ConfigBuilder live_directory(const std::string& scope = "operational") {
  return test_support::sample_directory().live(scope).device("pc-n2", "North", "Wards");
}

Ids polled_ids(CoreHarness& h, const std::string& device, bool live_capable = false,
               const std::string& protocol = "live-desktop-v1") {
  Ids ids;
  for (const Json& alert : h->poll(device, live_capable, protocol)) ids.push_back(alert["id"].get<std::string>());
  return ids;
}

long long audit_rows(CoreHarness& h) { return h.count("audit"); }

TEST(ChannelReadinessTest, EveryReadinessFlagMustBeExactlyTrue) {
  const Json ready = {{"network_delivery_enabled", true}, {"credentials_verified", true},
                      {"connection_verified", true}};
  auto with = [&](Json changes) {
    Json item = ready;
    for (auto it = changes.begin(); it != changes.end(); ++it) item[it.key()] = it.value();
    return item;
  };
  auto states = [](const Json& sms, const Json& whatsapp) {
    return channel_readiness(Json{{"sms", sms}, {"whatsapp", whatsapp}});
  };
  EXPECT_EQ(channel_readiness(Json::object()),
            Json({{"sms", "integration_required"}, {"whatsapp", "integration_required"}}));
  EXPECT_EQ(channel_readiness(nullptr), channel_readiness(Json::object()));
  EXPECT_EQ(states(with({{"live_sending_enabled", true}}), with({{"exercise_sending_enabled", true}})),
            Json({{"sms", "live"}, {"whatsapp", "test_only"}}));
  EXPECT_EQ(states(with({{"live_sending_enabled", "true"}, {"exercise_sending_enabled", true}}),
                   with({{"live_sending_enabled", "true"}, {"exercise_sending_enabled", 1}})),
            Json({{"sms", "test_only"}, {"whatsapp", "integration_required"}}));
  for (const char* flag : {"network_delivery_enabled", "credentials_verified", "connection_verified"})
    EXPECT_EQ(states(with({{flag, "true"}, {"live_sending_enabled", true}}), with({{flag, nullptr}})),
              Json({{"sms", "integration_required"}, {"whatsapp", "integration_required"}}))
        << flag;
  EXPECT_EQ(states(Json("ready"), Json::array()),
            Json({{"sms", "integration_required"}, {"whatsapp", "integration_required"}}));
}

TEST(ChannelReadinessTest, AgentsSeeTheProviderState) {
  CoreHarness h(test_support::sample_directory().mobile("mock", "disabled"));
  EXPECT_EQ(h->agent_channel_status(),
            Json({{"channels", {{"sms", "test_only"}, {"whatsapp", "integration_required"}}}}));
  h->replace_config(test_support::sample_directory().mobile("mock", "disabled").set("provider", "disabled"));
  EXPECT_EQ(h->agent_channel_status(),
            Json({{"channels", {{"sms", "integration_required"}, {"whatsapp", "integration_required"}}}}));
}

TEST(AgentProfileTest, DescribesTheComputerAndItsLivePolicy) {
  Json config = test_support::sample_directory()
                    .live()
                    .mobile("mock", "mock")
                    .device("pc-named", "North", "Wards",
                            {{"display_name", "Ward 4 desk"}, {"computer_id", "WS-0042"}, {"allow_live_desktop", false}})
                    .device("pc-empty", "North", "Wards",
                            {{"display_name", ""}, {"computer_id", ""}, {"allow_live_desktop", "true"}})
                    .device("pc-off", "North", "Wards", {{"enabled", false}})
                    .device("pc-gone", "North", "Wards", {{"removed", true}});
  CoreHarness h(config);
  EXPECT_EQ(h->agent_profile("pc-named").dump(),
            Json({{"channels", {{"sms", "test_only"}, {"whatsapp", "test_only"}}},
                  {"desktop_policy", {{"server_enabled", true}, {"computer_enabled", false}}},
                  {"device", {{"display_name", "Ward 4 desk"}, {"computer_id", "WS-0042"}}}})
                .dump());
  EXPECT_EQ(h->agent_profile("pc-empty")["device"], Json({{"display_name", "pc-empty"}, {"computer_id", "pc-empty"}}));
  EXPECT_EQ(h->agent_profile("pc-empty")["desktop_policy"]["computer_enabled"], false);
  EXPECT_EQ(h->agent_profile("pc-n")["desktop_policy"]["computer_enabled"], true);
  for (const char* missing : {"pc-off", "pc-gone", "unknown", ""})
    EXPECT_TRUE(refused_with([&] { h->agent_profile(missing); }, "Receiving computer was not found")) << missing;

  CoreHarness off(test_support::sample_directory());
  EXPECT_EQ(off->agent_profile("pc-n")["desktop_policy"],
            Json({{"server_enabled", false}, {"computer_enabled", true}}));
}

TEST(AgentPollTest, RecordsHeartbeatAndCapability) {
  CoreHarness h(live_directory());
  h->poll("pc-n", true, "live-desktop-v2");
  EXPECT_EQ(h.row("SELECT * FROM heartbeats"), Json({{"device_id", "pc-n"}, {"seen", kStartTime}}));
  EXPECT_EQ(h.row("SELECT * FROM agent_capabilities"),
            Json({{"device_id", "pc-n"}, {"live_capable", 1}, {"seen", kStartTime}, {"protocol", "live-desktop-v2"}}));
  h.clock().advance(30);
  h->poll("pc-n", false, "agent-9");
  EXPECT_EQ(h.row("SELECT * FROM heartbeats"), Json({{"device_id", "pc-n"}, {"seen", kStartTime + 30}}));
  EXPECT_EQ(h.row("SELECT * FROM agent_capabilities"),
            Json({{"device_id", "pc-n"}, {"live_capable", 0}, {"seen", kStartTime + 30}, {"protocol", "agent-9"}}));

  // An unchanged capability waits in memory for the next flush; readers see
  // it at once all the same.
  h.clock().advance(30);
  h->poll("pc-n", false, "agent-9");
  EXPECT_EQ(h.row("SELECT seen FROM heartbeats"), Json({{"seen", kStartTime + 30}}));
  {
    DbScope scope = h->db();
    EXPECT_EQ(h->heartbeats().last_seen(scope.conn()).at("pc-n"), kStartTime + 60);
  }
  h->flush_heartbeats();
  EXPECT_EQ(h.row("SELECT seen FROM heartbeats"), Json({{"seen", kStartTime + 60}}));
  EXPECT_EQ(h.row("SELECT seen FROM agent_capabilities"), Json({{"seen", kStartTime + 60}}));

  // A home lab records a first-protocol agent as not live-capable.
  CoreHarness home(live_directory("home_lab"));
  home->poll("pc-n", true, "live-desktop-v1");
  home->poll("pc-s", true, "live-desktop-v2");
  EXPECT_EQ(home.rows("SELECT device_id,live_capable,protocol FROM agent_capabilities ORDER BY device_id"),
            (std::vector<Json>{{{"device_id", "pc-n"}, {"live_capable", 0}, {"protocol", "live-desktop-v1"}},
                               {{"device_id", "pc-s"}, {"live_capable", 1}, {"protocol", "live-desktop-v2"}}}));
}

TEST(AgentPollTest, ReturnsEachAlertRowWithThisComputersReceiptsOldestFirst) {
  CoreHarness h(live_directory());
  const std::string first = h->create("op", exercise_request({{"title", "First"}}), "key-first");
  h.clock().advance(10);
  const std::string second = h->create("op", exercise_request({{"title", "Second"}, {"ttl_minutes", 1}}), "key-second");
  h->create("op", exercise_request({{"sites", {"South"}}}), "key-south");
  h.clock().advance(1);
  h->receipt("pc-n", second, "received");
  h.clock().advance(1);
  h->receipt("pc-n", second, "displayed");

  Json alerts = h->poll("pc-n");
  ASSERT_EQ(alerts.size(), 2u);
  Json row = h.row("SELECT * FROM alerts WHERE id=?", {second});
  row["displayed"] = kStartTime + 12;
  row["acknowledged"] = nullptr;
  EXPECT_EQ(alerts[1].dump(), row.dump());  // every column, in column order, values as stored
  EXPECT_EQ(alerts[1]["channels"], R"(["desktop"])");
  EXPECT_EQ(alerts[0]["id"], first);
  EXPECT_TRUE(alerts[0]["displayed"].is_null());
  EXPECT_EQ(polled_ids(h, "pc-s").size(), 1u);
}

TEST(AgentPollTest, UndecodableStoredTextDoesNotHideOtherAlerts) {
  CoreHarness h(live_directory());
  const std::string broken = h->create("op", exercise_request({{"title", "Broken"}}), "key-broken");
  const std::string fine = h->create("op", exercise_request({{"title", "Fine"}}), "key-fine");
  // As a key stored before keys were checked would be.
  h.exec("UPDATE alerts SET request_key=CAST(X'6B65792DFF2D31323334' AS TEXT) WHERE id='" + broken + "'");
  Json alerts = h->poll("pc-n");
  ASSERT_EQ(alerts.size(), 2u);
  EXPECT_EQ(alerts[0]["request_key"], "key-\ufffd-1234");
  EXPECT_EQ(alerts[1]["id"], fine);
  EXPECT_NO_THROW(json::field_text(alerts));
}

TEST(AgentPollTest, LiveIncidentsReachOnlyLiveCapableAllowedComputers) {
  Json config = live_directory();
  CoreHarness h(config);
  h->poll("pc-n", true);
  h->poll("pc-n2", true);
  const std::string live = h->create("op", live_request(), "key-live");
  h.clock().advance(5);
  const std::string drill = h->create("op", exercise_request(), "key-drill");

  EXPECT_EQ(polled_ids(h, "pc-n", false), Ids{drill});
  EXPECT_EQ(polled_ids(h, "pc-n", true), (Ids{live, drill}));
  EXPECT_EQ(polled_ids(h, "pc-n", true, "anything"), (Ids{live, drill}));  // operational: any protocol

  // The computer's switch is read on every poll.
  Json blocked = config;
  blocked["devices"][2]["allow_live_desktop"] = "true";
  h->replace_config(blocked);
  EXPECT_EQ(polled_ids(h, "pc-n2", true), Ids{drill});
  EXPECT_EQ(polled_ids(h, "pc-n", true), (Ids{live, drill}));

  // With live desktop switched off, stored incidents stay on the server.
  h.start(test_support::sample_directory().device("pc-n2", "North", "Wards"));
  EXPECT_EQ(polled_ids(h, "pc-n", true, "live-desktop-v2"), Ids{drill});

  // A home lab delivers them only to second-protocol agents.
  h.start(live_directory("home_lab"));
  EXPECT_EQ(polled_ids(h, "pc-n", true, "live-desktop-v1"), Ids{drill});
  EXPECT_EQ(polled_ids(h, "pc-n", true, "live-desktop-v2"), (Ids{live, drill}));
}

TEST(AgentPollTest, AlertExpiresAtTheExactInstant) {
  CoreHarness h(live_directory());
  const std::string id = h->create("op", exercise_request({{"ttl_minutes", 1}}), "key-expiry");
  const double expires = h.row("SELECT expires FROM alerts")["expires"].get<double>();
  ASSERT_EQ(expires, kStartTime + 60);
  h.clock().set(expires - 0.001);
  EXPECT_EQ(polled_ids(h, "pc-n"), Ids{id});
  h.clock().set(expires);
  EXPECT_EQ(polled_ids(h, "pc-n"), Ids{});
  EXPECT_TRUE(refused_with([&] { h->receipt("pc-n", id, "received"); }, kCancelledOrExpired));
  EXPECT_EQ(audit_rows(h), 1);
}

TEST(AgentReceiptTest, ChecksNameAssignmentStateAndSequenceInOrder) {
  CoreHarness h(live_directory().mobile("mock", "mock"));
  const std::string id = h->create("op", exercise_request({{"channels", {"desktop", "sms"}}}), "key-receipts");
  const std::string south = h->create("op", exercise_request({{"sites", {"South"}}}), "key-south");
  const long long before = audit_rows(h);

  for (Json bad : {Json("seen"), Json("Received"), Json(""), Json(nullptr), Json(1), Json({"received"})})
    EXPECT_TRUE(refused_with([&] { h->receipt("pc-n", "no-such-alert", bad); }, "Invalid receipt")) << bad.dump();
  const std::vector<std::pair<std::string, std::string>> unassigned = {
      {"pc-n", "no-such-alert"}, {"pc-n", south}, {"c-n", id}, {"pc-s", id}};
  for (const auto& [device, alert] : unassigned)
    EXPECT_TRUE(refused_with([&] { h->receipt(device, alert, "received"); }, "Alert not assigned to this device"))
        << device;
  EXPECT_TRUE(refused_with([&] { h->receipt("pc-n", id, "displayed"); }, kSequence));
  EXPECT_TRUE(refused_with([&] { h->receipt("pc-n", id, "acknowledged"); }, kSequence));
  EXPECT_EQ(audit_rows(h), before);

  h.clock().advance(1);
  h->receipt("pc-n", id, "received");
  EXPECT_TRUE(refused_with([&] { h->receipt("pc-n", id, "acknowledged"); }, kSequence));
  h.clock().advance(1);
  h->receipt("pc-n", id, "displayed");
  h.clock().advance(1);
  h->receipt("pc-n", id, "received");  // a repeat: nothing changes
  h.clock().advance(1);
  h->receipt("pc-n", id, "acknowledged");
  h->receipt("pc-n", id, "acknowledged");

  EXPECT_EQ(h.row("SELECT status,received,displayed,acknowledged FROM deliveries WHERE recipient_id='pc-n' "
                  "AND alert_id=?",
                  {id}),
            Json({{"status", "acknowledged"}, {"received", kStartTime + 1}, {"displayed", kStartTime + 2},
                  {"acknowledged", kStartTime + 4}}));
  EXPECT_EQ(h.row("SELECT status FROM deliveries WHERE recipient_id='c-n'")["status"], "queued");
  auto events = h.rows("SELECT at,actor,event,detail FROM audit WHERE seq>? ORDER BY seq", {before});
  const std::string detail = R"({"alert_id":")" + id + R"(","deployment_scope":"exercise","is_test":true})";
  EXPECT_EQ(events, (std::vector<Json>{
                        {{"at", kStartTime + 1}, {"actor", "pc-n"}, {"event", "desktop.received"}, {"detail", detail}},
                        {{"at", kStartTime + 2}, {"actor", "pc-n"}, {"event", "desktop.displayed"}, {"detail", detail}},
                        {{"at", kStartTime + 4}, {"actor", "pc-n"}, {"event", "desktop.acknowledged"},
                         {"detail", detail}}}));

  // Acknowledged leaves this computer's poll, not the others'.
  EXPECT_EQ(polled_ids(h, "pc-n"), Ids{});
  EXPECT_EQ(polled_ids(h, "pc-n2"), Ids{id});
}

TEST(AgentReceiptTest, CancelledAlertAcceptsOnlySilentRepeats) {
  CoreHarness h(live_directory());
  h->poll("pc-n", true);
  h->poll("pc-n2", true);
  const std::string id = h->create("op", live_request(), "key-live");
  h->receipt("pc-n", id, "received");
  h->cancel("op", id);
  const long long before = audit_rows(h);
  const Json delivery = h.row("SELECT * FROM deliveries WHERE recipient_id='pc-n'");

  h.clock().advance(1);
  h->receipt("pc-n", id, "received");
  EXPECT_TRUE(refused_with([&] { h->receipt("pc-n", id, "displayed"); }, kCancelledOrExpired));
  // The state is checked before the sequence.
  EXPECT_TRUE(refused_with([&] { h->receipt("pc-n2", id, "acknowledged"); }, kCancelledOrExpired));
  EXPECT_EQ(audit_rows(h), before);
  EXPECT_EQ(h.row("SELECT * FROM deliveries WHERE recipient_id='pc-n'"), delivery);
  EXPECT_EQ(polled_ids(h, "pc-n2", true), Ids{});

  // A live receipt is audited as live.
  CoreHarness other(live_directory());
  other->poll("pc-n", true);
  other->poll("pc-n2", true);
  const std::string incident = other->create("op", live_request(), "key-live");
  other->receipt("pc-n2", incident, "received");
  EXPECT_EQ(other.row("SELECT detail FROM audit ORDER BY seq DESC LIMIT 1")["detail"],
            R"({"alert_id":")" + incident + R"(","deployment_scope":"operational","is_test":false})");
}

}  // namespace
}  // namespace halvenor
