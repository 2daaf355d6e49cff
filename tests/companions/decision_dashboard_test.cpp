#include "companions/decision/decision_dashboard.h"
#include "companions/export/drill_report.h"

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>
#include <tuple>
#include <utility>

#include "app/service_parts.h"
#include "base/errors.h"
#include "server/core/core.h"
#include "tests/support/fake_time.h"
#include "tests/support/temp_folder.h"

namespace halvenor {
namespace {

// Two sites; a computer on each ward desk, a Security computer that takes the
// default "Security Control Room (South)" name, one for both sites, and SMS
// contacts with and without a display name.
Json two_site_config() {
  return Json::parse(R"({
    "mode": "controlled_live", "provider": "mock",
    "mobile_providers": {"sms": {"driver": "mock"}},
    "live_desktop": {"enabled": true, "enabled_by_default": true},
    "sites": ["North", "South"],
    "site_labels": {"North": "North Hospital"},
    "users": [{"id": "commander", "role": "operator", "token": "commander-token-0001",
               "can_send_live": true, "can_send_sms": true}],
    "devices": [
      {"id": "pc-n1", "token": "device-token-n1", "site": "North", "department": "Wards",
       "display_name": "North Ward Desk"},
      {"id": "pc-n2", "token": "device-token-n2", "site": "North", "department": "Estates"},
      {"id": "pc-s1", "token": "device-token-s1", "site": "South", "department": "Security"},
      {"id": "pc-both", "token": "device-token-bb", "site": "BOTH", "department": "Switchboard",
       "display_name": "Switchboard"}],
    "contacts": [
      {"id": "duty-north", "display_name": "North Duty Manager", "phone": "+441632960001",
       "channels": ["sms"], "site": "North", "department": "Wards"},
      {"id": "duty-south", "phone": "+441632960002", "channels": ["sms"], "site": "South",
       "department": "Security"}],
    "groups": []
  })");
}

constexpr const char* kStatuses[] = {"pending",
                                     "queued",
                                     "received",
                                     "displayed",
                                     "acknowledged",
                                     "expired_not_displayed",
                                     "expired_unacknowledged",
                                     "cancelled_not_displayed",
                                     "cancelled_unacknowledged"};

// The counts object the dashboard shows: total, then every status in order.
Json counts(long long total, std::initializer_list<std::pair<const char*, long long>> nonzero) {
  Json result = {{"total", total}};
  for (const char* status : kStatuses) result[status] = 0;
  for (const auto& [status, count] : nonzero) result[status] = count;
  return result;
}

class SituationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clock_ = std::make_shared<test_support::FakeClock>(1000.0);
    parts_ = std::make_unique<ServiceParts>(two_site_config(), (folder_.path() / "core.sqlite3").string(),
                                            std::nullopt, CoreOptions{clock_, nullptr});
    core_ = &parts_->core();
  }

  void at(double t) { clock_->set(t); }
  void poll(const std::string& device) { core_->poll(device, true, "live-desktop-v1"); }
  void receipt(double t, const std::string& device, const std::string& id, const char* name) {
    at(t);
    core_->receipt(device, id, name);
  }

  std::string incident(double t, const std::string& key, const Json& sites = {"North", "South"}) {
    at(t);
    return core_->create("commander",
                         {{"test", false},
                          {"title", "  Fire in North Wing "},
                          {"body", "Evacuate the north wing."},
                          {"severity", "critical"},
                          {"ttl_minutes", 30},
                          {"channels", {"desktop"}},
                          {"sites", sites},
                          {"live_confirmation", "SEND LIVE ALERT"},
                          {"incident_reference", "INC-2041"}},
                         key);
  }

  std::string exercise(double t, const std::string& key, int ttl_minutes = 30) {
    at(t);
    return core_->create("commander",
                         {{"test", true},
                          {"title", "Drill"},
                          {"body", "Exercise only."},
                          {"severity", "ticker"},
                          {"ttl_minutes", ttl_minutes},
                          {"channels", {"desktop", "sms"}},
                          {"sites", {"North", "South"}}},
                         key);
  }

  // Every computer polls live-capable at 1000; all but pc-s1 poll again
  // shortly before the incident at 1300 (pc-n2 exactly 120 s before it).
  std::string scripted_incident() {
    at(1000.0);
    for (const char* device : {"pc-n1", "pc-n2", "pc-s1", "pc-both"}) poll(device);
    at(1180.0);
    poll("pc-n2");
    at(1200.0);
    poll("pc-n1");
    poll("pc-both");
    std::string id = incident(1300.0, "incident-key-0001");
    receipt(1302.0, "pc-n1", id, "received");
    receipt(1305.0, "pc-n1", id, "displayed");
    receipt(1320.0, "pc-n1", id, "acknowledged");
    receipt(1303.0, "pc-n2", id, "received");
    receipt(1310.0, "pc-n2", id, "displayed");
    receipt(1304.0, "pc-both", id, "received");
    receipt(1340.0, "pc-both", id, "displayed");
    receipt(1400.0, "pc-both", id, "acknowledged");
    return id;
  }

  long long audit_rows() {
    DbScope scope = core_->db();
    return scope->query_one("SELECT count(*) AS n FROM audit")->at("n").get<long long>();
  }

  test_support::TempFolder folder_;
  std::shared_ptr<test_support::FakeClock> clock_;
  std::unique_ptr<ServiceParts> parts_;
  Core* core_ = nullptr;
};

TEST_F(SituationTest, LiveIncidentFiguresBySiteDepartmentAndPerson) {
  const std::string id = scripted_incident();
  at(1500.0);
  Json view = situation(*core_, {{"id", id}});

  EXPECT_EQ(view["as_of"], 1500.0);
  EXPECT_EQ(view["alert"], Json({{"id", id},
                                 {"title", "Fire in North Wing"},
                                 {"kind", "live_incident"},
                                 {"is_test", false},
                                 {"created", 1300.0},
                                 {"expires", 3100.0},
                                 {"lifecycle", "active"},
                                 {"deployment_scope", "operational"},
                                 {"conclusion_of", nullptr},
                                 {"incident_title", nullptr}}));
  EXPECT_EQ(view["selection"], "requested");
  EXPECT_EQ(view["totals"], counts(4, {{"pending", 1}, {"displayed", 1}, {"acknowledged", 2}}));

  // pc-both counts in both sites.
  EXPECT_EQ(
      view["by_site"],
      Json::array(
          {{{"site", "North"},
            {"label", "North Hospital"},
            {"counts", counts(3, {{"displayed", 1}, {"acknowledged", 2}})}},
           {{"site", "South"}, {"label", "South"}, {"counts", counts(2, {{"pending", 1}, {"acknowledged", 1}})}}}));
  // Departments in vocabulary order, with the Security label.
  Json departments = Json::array();
  for (const auto& [name, label, status] :
       {std::tuple{"Estates", "Estates", "displayed"}, std::tuple{"Security", "Security Control Room", "pending"},
        std::tuple{"Switchboard", "Switchboard", "acknowledged"}, std::tuple{"Wards", "Wards", "acknowledged"}})
    departments.push_back({{"department", name}, {"label", label}, {"counts", counts(1, {{status, 1}})}});
  EXPECT_EQ(view["by_department"], departments);

  EXPECT_EQ(view["not_acknowledged"], Json::array({{{"recipient_id", "pc-n2"},
                                                    {"name", "pc-n2"},
                                                    {"channel", "desktop"},
                                                    {"display_status", "displayed"},
                                                    {"sites", {"North"}},
                                                    {"departments", {"Estates"}}},
                                                   {{"recipient_id", "pc-s1"},
                                                    {"name", "Security Control Room (South)"},
                                                    {"channel", "desktop"},
                                                    {"display_status", "pending"},
                                                    {"sites", {"South"}},
                                                    {"departments", {"Security"}}}}));

  // Delays 5, 10, 40 and 20, 100: nearest rank, not interpolation (which
  // would give a median of 60 and a 90th percentile of 34).
  EXPECT_EQ(view["timing"],
            Json({{"desktop_deliveries", 4},
                  {"to_display", {{"count", 3}, {"median_seconds", 10.0}, {"p90_seconds", 40.0}}},
                  {"to_acknowledge", {{"count", 2}, {"median_seconds", 20.0}, {"p90_seconds", 100.0}}}}));

  // pc-n2 polled exactly 120 s before: not silent.
  EXPECT_EQ(view["silent_computers"],
            Json::array({{{"id", "pc-s1"}, {"name", "Security Control Room (South)"}, {"last_seen", 1000.0}}}));
  EXPECT_EQ(view["stand_down"], Json({{"alert_id", nullptr},
                                      {"created", nullptr},
                                      {"lifecycle", nullptr},
                                      {"counts", nullptr},
                                      {"acknowledged_fraction", nullptr}}));
}

TEST_F(SituationTest, StandDownCompletenessAndConcludedIncident) {
  const std::string id = scripted_incident();
  at(1600.0);
  const std::string stand_down = core_->conclude("commander", id, "CONCLUDE INCIDENT");
  receipt(1610.0, "pc-n1", stand_down, "received");
  receipt(1611.0, "pc-n1", stand_down, "displayed");
  receipt(1612.0, "pc-n1", stand_down, "acknowledged");
  receipt(1613.0, "pc-n2", stand_down, "received");
  at(1700.0);

  Json view = situation(*core_, Json::object());  // the latest live incident, not its stand-down
  EXPECT_EQ(view["alert"]["id"], id);
  EXPECT_EQ(view["alert"]["lifecycle"], "cancelled");
  EXPECT_EQ(view["totals"],
            counts(4, {{"acknowledged", 2}, {"cancelled_not_displayed", 1}, {"cancelled_unacknowledged", 1}}));
  EXPECT_EQ(view["stand_down"], Json({{"alert_id", stand_down},
                                      {"created", 1600.0},
                                      {"lifecycle", "active"},
                                      {"counts", counts(4, {{"pending", 2}, {"received", 1}, {"acknowledged", 1}})},
                                      {"acknowledged_fraction", 0.25}}));

  Json own = situation(*core_, {{"id", stand_down}});
  EXPECT_EQ(own["alert"]["kind"], "stand_down");
  EXPECT_EQ(own["alert"]["conclusion_of"], id);
  EXPECT_EQ(own["alert"]["incident_title"], "Fire in North Wing");
  EXPECT_TRUE(own["stand_down"].is_null());
  EXPECT_EQ(own["timing"]["to_acknowledge"], Json({{"count", 1}, {"median_seconds", 12.0}, {"p90_seconds", 12.0}}));
}

TEST_F(SituationTest, LatestLiveIncidentIgnoresExercisesAndStandDowns) {
  EXPECT_THROW(
      {
        try {
          situation(*core_, Json::object());
        } catch (const DashboardInvalid& e) {
          EXPECT_STREQ(e.what(), "No alert or incident has been sent yet.");
          throw;
        }
      },
      DashboardInvalid);
  // Without a live incident the newest alert of any kind is shown, and says so.
  exercise(1090.0, "exercise-key-0000");
  const std::string drill = exercise(1100.0, "exercise-key-0001");
  Json fallback = situation(*core_, Json::object());
  EXPECT_EQ(fallback["alert"]["id"], drill);
  EXPECT_EQ(fallback["selection"], "latest_alert");

  at(1000.0);
  for (const char* device : {"pc-n1", "pc-n2", "pc-s1", "pc-both"}) poll(device);
  const std::string first = incident(1300.0, "incident-key-0001");
  exercise(1400.0, "exercise-key-0002");
  const std::string second = incident(1500.0, "incident-key-0002", {"North"});
  exercise(1600.0, "exercise-key-0003");
  at(1700.0);
  const std::string stand_down = core_->conclude("commander", second, "CONCLUDE INCIDENT");

  EXPECT_EQ(situation(*core_, Json::object())["alert"]["id"], second);
  EXPECT_EQ(situation(*core_, Json::object())["selection"], "latest_live_incident");
  EXPECT_EQ(situation(*core_, {{"id", nullptr}})["alert"]["id"], second);
  EXPECT_EQ(situation(*core_, {{"id", first}})["alert"]["id"], first);
  EXPECT_EQ(situation(*core_, {{"id", second}})["stand_down"]["alert_id"], stand_down);
  EXPECT_TRUE(situation(*core_, {{"id", first}})["stand_down"]["alert_id"].is_null());
}

TEST_F(SituationTest, ExpiredExerciseWithContactsAndComputersThatNeverPolled) {
  at(1990.0);
  poll("pc-n1");
  const std::string id = exercise(2000.0, "exercise-key-0001", 1);
  receipt(2010.0, "pc-n1", id, "received");
  receipt(2020.0, "pc-n1", id, "displayed");
  at(2060.0);  // the moment it expires counts as expired

  Json view = situation(*core_, {{"id", id}});
  EXPECT_EQ(view["alert"]["kind"], "exercise");
  EXPECT_EQ(view["alert"]["is_test"], true);
  EXPECT_EQ(view["alert"]["lifecycle"], "expired");
  EXPECT_TRUE(view["stand_down"].is_null());
  // SMS deliveries keep their stored status; desktop ones end unseen.
  EXPECT_EQ(view["totals"], counts(6, {{"queued", 2}, {"expired_not_displayed", 3}, {"expired_unacknowledged", 1}}));

  Json names = Json::object();
  for (const Json& entry : view["not_acknowledged"])
    names[entry["recipient_id"].get<std::string>() + "/" + entry["channel"].get<std::string>()] = entry["name"];
  EXPECT_EQ(names, Json({{"pc-n1/desktop", "North Ward Desk"},
                         {"pc-n2/desktop", "pc-n2"},
                         {"pc-s1/desktop", "Security Control Room (South)"},
                         {"pc-both/desktop", "Switchboard"},
                         {"duty-north/sms", "North Duty Manager"},
                         {"duty-south/sms", "duty-south"}}));

  Json silent = Json::array();
  for (const char* id_name : {"pc-n2", "pc-s1", "pc-both"}) silent.push_back(id_name);
  Json reported = Json::array();
  for (const Json& entry : view["silent_computers"]) {
    reported.push_back(entry["id"]);
    EXPECT_TRUE(entry["last_seen"].is_null());
  }
  EXPECT_EQ(reported, silent);

  EXPECT_EQ(view["timing"],
            Json({{"desktop_deliveries", 4},
                  {"to_display", {{"count", 1}, {"median_seconds", 20.0}, {"p90_seconds", 20.0}}},
                  {"to_acknowledge", {{"count", 0}, {"median_seconds", nullptr}, {"p90_seconds", nullptr}}}}));
}

TEST_F(SituationTest, DrillReportAddsSlowestFailedJobsAndTheChainForExercisesOnly) {
  const std::string id = exercise(2000.0, "drill-key-0001");
  receipt(2004.0, "pc-n1", id, "received");
  receipt(2005.0, "pc-n1", id, "displayed");
  receipt(2030.0, "pc-n1", id, "acknowledged");
  receipt(2006.0, "pc-n2", id, "received");
  receipt(2045.0, "pc-n2", id, "displayed");
  {
    DbScope scope = core_->db();
    scope->execute("UPDATE mobile_jobs SET state='failed', attempts=5, reason='gateway refused' "
                   "WHERE alert_id=? AND recipient_id='duty-north'",
                   {id});
  }
  at(2100.0);

  const Json report = drill_report(*core_, id);
  EXPECT_EQ(report["timing"]["to_display"],
            Json({{"count", 2}, {"median_seconds", 5.0}, {"p90_seconds", 45.0}, {"slowest_seconds", 45.0}}));
  EXPECT_EQ(report["timing"]["to_acknowledge"]["slowest_seconds"], 30.0);
  EXPECT_EQ(report["mobile_jobs_failed"],
            Json::array({{{"recipient_id", "duty-north"}, {"name", "North Duty Manager"}, {"channel", "sms"},
                          {"attempts", 5}, {"reason", "gateway refused"}}}));
  EXPECT_EQ(report["audit_chain"]["intact"], true);
  EXPECT_EQ(report["reach"]["totals"]["total"], 6);
  const std::string csv = drill_report_csv(report);
  EXPECT_NE(csv.find("mobile job failed,duty-north (sms),gateway refused\r\n"), std::string::npos) << csv;
  EXPECT_NE(csv.find("timing,to_display slowest_seconds,45.0\r\n"), std::string::npos) << csv;

  for (const char* device : {"pc-n1", "pc-n2", "pc-s1", "pc-both"}) poll(device);
  const std::string live = incident(2200.0, "incident-key-0002");
  try {
    drill_report(*core_, live);
    ADD_FAILURE() << "a live incident got a drill report";
  } catch (const DashboardInvalid& e) {
    EXPECT_STREQ(e.what(), "A drill report is made for exercises only.");
  }
}

TEST_F(SituationTest, RefusesBadRequestsAndWritesNothing) {
  const std::string id = scripted_incident();
  const long long rows = audit_rows();
  auto message = [&](const Json& request) {
    try {
      situation(*core_, request);
    } catch (const DashboardInvalid& e) {
      return std::string(e.what());
    }
    return std::string("accepted");
  };
  EXPECT_EQ(message(Json::array({id})), "The dashboard request must be a JSON object.");
  EXPECT_EQ(message({{"id", 42}}), "The alert id must be text.");
  EXPECT_EQ(message({{"id", {{"id", id}}}}), "The alert id must be text.");
  EXPECT_EQ(message({{"id", "0b5e6c1e-0000-4000-8000-000000000000"}}), "Unknown alert or incident.");
  EXPECT_EQ(message({{"id", ""}}), "Unknown alert or incident.");
  EXPECT_EQ(message({{"id", id}}), "accepted");
  EXPECT_EQ(audit_rows(), rows);
}

}  // namespace
}  // namespace halvenor
