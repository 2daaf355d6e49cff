// The dashboard snapshot: key order, lifecycle and per-delivery status at
// the edges, the alert cap, the device list and recipient names.
#include <gtest/gtest.h>

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "companions/mobile/delivery_queue.h"
#include "companions/mobile/mobile_integrations.h"
#include "server/core/core.h"
#include "server/core/directory_defaults.h"
#include "tests/support/config_builder.h"
#include "tests/support/core_harness.h"

namespace halvenor {
namespace {

using test_support::ConfigBuilder;
using test_support::CoreHarness;
using test_support::exercise_request;
using test_support::kStartTime;
using test_support::live_request;
using Names = std::vector<std::string>;

Names keys_of(const Json& object) {
  Names keys;
  for (auto it = object.begin(); it != object.end(); ++it) keys.push_back(it.key());
  return keys;
}

using Statuses = std::map<std::string, std::string>;

// display_status of each delivery of the alert, keyed "recipient/channel".
Statuses statuses(const Json& alert) {
  Statuses out;
  for (const Json& d : alert["deliveries"])
    out[d["recipient_id"].get<std::string>() + "/" + d["channel"].get<std::string>()] = d["display_status"];
  return out;
}

const Json& delivery_of(const Json& alert, const std::string& recipient, const std::string& channel) {
  for (const Json& d : alert["deliveries"])
    if (d["recipient_id"] == recipient && d["channel"] == channel) return d;
  throw std::runtime_error("no delivery " + recipient + "/" + channel);
}

const Json& alert_with_id(const Json& snapshot, const std::string& id) {
  for (const Json& alert : snapshot["alerts"])
    if (alert["id"] == id) return alert;
  throw std::runtime_error("alert not in snapshot: " + id);
}

ConfigBuilder three_computers() {
  return test_support::sample_directory().mobile("mock", "mock").device("pc-n2", "North", "Estates").device(
      "pc-n3", "North", "Estates");
}

TEST(DashboardSnapshotTest, KeysComeInTheirOrder) {
  CoreHarness h(three_computers());
  Json empty = h->snapshot();
  EXPECT_EQ(keys_of(empty), (Names{"mode", "deployment_scope", "live_desktop_enabled", "queue", "integrations",
                                   "alert_templates", "sites", "site_labels", "departments", "department_labels",
                                   "recipient_names", "groups", "alerts", "devices"}));
  EXPECT_EQ(empty["alerts"], Json::array());
  EXPECT_EQ(empty["integrations"], h->mobile_routing().report());
  {
    DbScope scope = h->db();
    EXPECT_EQ(empty["queue"], h->mobile_jobs().summary(scope.conn()));
  }
  EXPECT_EQ(empty["alert_templates"], Json::array());
  for (const Json& device : empty["devices"]) EXPECT_TRUE(device["last_seen"].is_null());

  const std::string id = h->create("op", exercise_request({{"channels", {"desktop", "sms"}}}), "key-drill");
  Json alert = h->snapshot()["alerts"][0];
  EXPECT_EQ(keys_of(alert), (Names{"id", "created", "expires", "author", "title", "body", "severity", "channels",
                                   "targets", "cancelled", "is_test", "deployment_scope", "conclusion_of",
                                   "conclusion_alert_id", "incident_title", "deliveries", "lifecycle"}));
  EXPECT_EQ(alert["channels"], R"(["desktop", "sms"])");
  EXPECT_EQ(alert["targets"], R"({"sites": ["North"], "departments": [], "groups": []})");
  EXPECT_EQ(alert["incident_title"], "Fire drill");
  EXPECT_TRUE(alert["conclusion_alert_id"].is_null());
  for (const Json& delivery : alert["deliveries"])
    EXPECT_EQ(keys_of(delivery), (Names{"alert_id", "recipient_id", "channel", "status", "received", "displayed",
                                        "acknowledged", "queue", "whatsapp_preview", "display_status"}));
  ASSERT_EQ(alert["deliveries"].size(), 4u);
  const Json& sms = delivery_of(alert, "c-n", "sms");
  EXPECT_EQ(keys_of(sms["queue"]), (Names{"id", "state", "attempts", "next_at", "updated", "reason"}));
  EXPECT_EQ(sms["queue"]["state"], "queued");
  EXPECT_TRUE(delivery_of(alert, "pc-n", "desktop")["queue"].is_null());
  EXPECT_TRUE(delivery_of(alert, "pc-n", "desktop")["whatsapp_preview"].is_null());
}

TEST(DashboardSnapshotTest, LifecycleAndDisplayStatusAtTheExpiryInstant) {
  CoreHarness h(three_computers());
  const std::string id = h->create("op", exercise_request({{"ttl_minutes", 2}, {"channels", {"desktop", "sms"}}}),
                                   "key-drill");
  h->receipt("pc-n2", id, "received");
  h->receipt("pc-n2", id, "displayed");
  h->receipt("pc-n3", id, "received");
  h->receipt("pc-n3", id, "displayed");
  h->receipt("pc-n3", id, "acknowledged");
  h.exec("UPDATE deliveries SET status='sent' WHERE channel='sms'");

  h.clock().set(kStartTime + 120 - 0.001);
  Json active = h->snapshot()["alerts"][0];
  EXPECT_EQ(active["lifecycle"], "active");
  EXPECT_EQ(statuses(active), (Statuses{{"pc-n/desktop", "pending"}, {"pc-n2/desktop", "displayed"},
                                      {"pc-n3/desktop", "acknowledged"}, {"c-n/sms", "sent"}}));

  h.clock().set(kStartTime + 120);
  Json expired = h->snapshot()["alerts"][0];
  EXPECT_EQ(expired["lifecycle"], "expired");
  EXPECT_EQ(statuses(expired), (Statuses{{"pc-n/desktop", "expired_not_displayed"},
                                       {"pc-n2/desktop", "expired_unacknowledged"},
                                       {"pc-n3/desktop", "acknowledged"},
                                       {"c-n/sms", "sent"}}));

  // A mobile acknowledgement shows whatever the job's status says.
  h.exec("UPDATE deliveries SET acknowledged=1.0 WHERE channel='sms'");
  EXPECT_EQ(statuses(h->snapshot()["alerts"][0])["c-n/sms"], "acknowledged");

  // Cancelled wins over expired.
  h->cancel("op", id);
  Json cancelled = h->snapshot()["alerts"][0];
  EXPECT_EQ(cancelled["lifecycle"], "cancelled");
  EXPECT_EQ(statuses(cancelled), (Statuses{{"pc-n/desktop", "cancelled_not_displayed"},
                                         {"pc-n2/desktop", "cancelled_unacknowledged"},
                                         {"pc-n3/desktop", "acknowledged"},
                                         {"c-n/sms", "acknowledged"}}));
}

TEST(DashboardSnapshotTest, MobileDeliveriesCarryTheirJobAndPreview) {
  CoreHarness h(three_computers());
  const std::string id = h->create("op", exercise_request({{"channels", {"desktop", "whatsapp"}}}), "key-drill");
  h->receipt("pc-n", id, "received");
  Json before = h->snapshot()["alerts"][0];
  EXPECT_EQ(statuses(before)["pc-n/desktop"], "received");
  EXPECT_EQ(statuses(before)["c-n/whatsapp"], "queued");
  EXPECT_EQ(delivery_of(before, "c-n", "whatsapp")["queue"],
            h.row("SELECT id,state,attempts,next_at,updated,reason FROM mobile_jobs"));

  // The preview is the `preview` member of the job's stored rendering.
  h.exec("UPDATE mobile_jobs SET wa_render='{\"preview\": {\"header\": \"EXERCISE - Fire drill\"}, \"x\": 1}'");
  EXPECT_EQ(delivery_of(h->snapshot()["alerts"][0], "c-n", "whatsapp")["whatsapp_preview"],
            Json({{"header", "EXERCISE - Fire drill"}}));
  for (const char* empty : {"''", "NULL"}) {
    h.exec(std::string("UPDATE mobile_jobs SET wa_render=") + empty);
    EXPECT_TRUE(delivery_of(h->snapshot()["alerts"][0], "c-n", "whatsapp")["whatsapp_preview"].is_null()) << empty;
  }
  // Without a job there is nothing to show.
  h.exec("DELETE FROM mobile_jobs");
  Json orphan = delivery_of(h->snapshot()["alerts"][0], "c-n", "whatsapp");
  EXPECT_TRUE(orphan["queue"].is_null());
  EXPECT_TRUE(orphan["whatsapp_preview"].is_null());
  EXPECT_EQ(orphan["display_status"], "queued");
}

TEST(DashboardSnapshotTest, ListsOnlyThe100NewestAlerts) {
  CoreHarness h(test_support::sample_directory());
  std::vector<std::string> ids;
  for (int i = 0; i < 101; ++i) {
    ids.push_back(h->create("op", exercise_request({{"title", "Drill " + std::to_string(i)}}),
                            "key-" + std::to_string(1000 + i)));
    h.clock().advance(1);
  }
  Json alerts = h->snapshot()["alerts"];
  ASSERT_EQ(alerts.size(), 100u);
  EXPECT_EQ(alerts[0]["id"], ids[100]);
  EXPECT_EQ(alerts[99]["id"], ids[1]);
  for (std::size_t i = 1; i < alerts.size(); ++i)
    EXPECT_GT(alerts[i - 1]["created"].get<double>(), alerts[i]["created"].get<double>());
}

TEST(DashboardSnapshotTest, DevicesNamesAndGroupsFollowTheDirectory) {
  Json config = ConfigBuilder()
                    .set("sites", {"North", "South", "East"})
                    .set("site_labels", {{"East", "East Wing"}})
                    .set("alert_templates", {{{"title", "Fire"}}})
                    .device("pc-both", "BOTH", "Security")
                    .device("pc-listed", "North", "Wards",
                            {{"sites", {"South"}}, {"departments", {"Wards", "Estates"}}, {"computer_id", "WS-1"},
                             {"enabled", false}, {"display_name", "Listed desk"}})
                    .device("pc-gone", "North", "Wards", {{"removed", true}, {"display_name", "Old desk"}})
                    .device("shared-id", "South", "Wards")
                    .contact("c-named", "North", "Wards", {"sms"})
                    .contact("c-plain", "North", "Wards", {"sms"}, {{"display_name", nullptr}})
                    .contact("shared-id", "South", "Wards", {"sms"}, {{"display_name", "Contact wins"}})
                    .group("g", {"pc-both", "c-named"});
  config["groups"][0]["member_count"] = 99;
  CoreHarness h(config);
  h.clock().advance(3);
  h->poll("pc-both");

  Json snapshot = h->snapshot();
  EXPECT_EQ(snapshot["alert_templates"], config["alert_templates"]);
  EXPECT_EQ(snapshot["sites"], Json({"North", "South", "East"}));
  EXPECT_EQ(snapshot["site_labels"], Json({{"North", "North"}, {"South", "South"}, {"East", "East Wing"}}));
  EXPECT_EQ(snapshot["departments"], h->departments());
  EXPECT_EQ(snapshot["department_labels"], DEPARTMENT_LABELS());
  EXPECT_EQ(snapshot["recipient_names"].dump(),
            Json({{"pc-both", "Security Control Room (BOTH)"},
                  {"pc-listed", "Listed desk"},
                  {"pc-gone", "Old desk"},
                  {"shared-id", "Contact wins"},
                  {"c-named", "Contact c-named"},
                  {"c-plain", "c-plain"}})
                .dump());
  EXPECT_EQ(snapshot["groups"], Json::array({{{"id", "g"}, {"members", {"pc-both", "c-named"}}, {"member_count", 2}}}));
  EXPECT_EQ(snapshot["devices"].dump(),
            Json::array({{{"id", "pc-both"},
                          {"site", "BOTH"},
                          {"department", "Security"},
                          {"sites", {"North", "South", "East"}},
                          {"departments", {"Security"}},
                          {"computer_id", "pc-both"},
                          {"last_seen", kStartTime + 3},
                          {"enabled", true}},
                         {{"id", "pc-listed"},
                          {"site", "North"},
                          {"department", "Wards"},
                          {"sites", {"South"}},
                          {"departments", {"Wards", "Estates"}},
                          {"computer_id", "WS-1"},
                          {"last_seen", nullptr},
                          {"enabled", false}},
                         {{"id", "shared-id"},
                          {"site", "South"},
                          {"department", "Wards"},
                          {"sites", {"South"}},
                          {"departments", {"Wards"}},
                          {"computer_id", "shared-id"},
                          {"last_seen", nullptr},
                          {"enabled", true}}})
                .dump());
}

TEST(DashboardSnapshotTest, ModeTextFollowsLiveDesktopAndScope) {
  CoreHarness off(ConfigBuilder().set("live_desktop", {{"deployment_scope", "home_lab"}}));
  Json snapshot = off->snapshot();
  EXPECT_EQ(snapshot["mode"], "EXERCISE ONLY");
  EXPECT_EQ(snapshot["deployment_scope"], "home_lab");
  EXPECT_EQ(snapshot["live_desktop_enabled"], false);

  CoreHarness live(ConfigBuilder().live());
  EXPECT_EQ(live->snapshot()["mode"], "LIVE DESKTOP ENABLED");
  EXPECT_EQ(live->snapshot()["live_desktop_enabled"], true);
  CoreHarness lab(ConfigBuilder().live("home_lab"));
  EXPECT_EQ(lab->snapshot()["mode"], "DEMONSTRATION MODE \u2014 INCIDENT DISPLAYS");
}

TEST(DashboardSnapshotTest, ConcludedIncidentAndItsStandDownAreLinked) {
  CoreHarness h(test_support::sample_directory().live());
  h->poll("pc-n", true);
  const std::string incident = h->create("op", live_request({{"title", "Gas leak"}}), "key-incident");
  h.clock().advance(60);
  const std::string standdown = h->conclude("op", incident, "CONCLUDE INCIDENT");

  Json snapshot = h->snapshot();
  ASSERT_EQ(snapshot["alerts"].size(), 2u);
  EXPECT_EQ(snapshot["alerts"][0]["id"], standdown);  // newest first
  const Json& original = alert_with_id(snapshot, incident);
  EXPECT_EQ(original["conclusion_alert_id"], standdown);
  EXPECT_EQ(original["lifecycle"], "cancelled");
  EXPECT_EQ(original["incident_title"], "Gas leak");
  const Json& notice = alert_with_id(snapshot, standdown);
  EXPECT_EQ(notice["incident_title"], "Gas leak");
  EXPECT_EQ(notice["conclusion_of"], incident);
  EXPECT_EQ(notice["lifecycle"], "active");
  EXPECT_EQ(statuses(notice), (Statuses{{"pc-n/desktop", "pending"}}));

  // Without the incident row the stand-down falls back to its own title.
  h.exec("UPDATE alerts SET title='Renamed stand-down' WHERE id='" + standdown + "'");
  h.exec("DELETE FROM alerts WHERE id='" + incident + "'");
  EXPECT_EQ(h->snapshot()["alerts"][0]["incident_title"], "Renamed stand-down");
}

}  // namespace
}  // namespace halvenor
