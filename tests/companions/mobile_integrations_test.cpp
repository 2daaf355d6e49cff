// Provider accounts as IT manages them: readiness flags, routing of
// contacts, and the administration operations with their permission rule,
// validation and audit trail.
#include <gtest/gtest.h>

#include "base/errors.h"
#include "tests/companions/fake_gateway.h"
#include "tests/companions/mobile_fixture.h"

namespace halvenor::testing {
namespace {

using Answer = FakeGateway::Answer;

constexpr const char* kFlags[] = {"network_delivery_enabled", "credentials_verified", "connection_verified",
                                  "live_sending_enabled", "exercise_sending_enabled"};

Json flags(const Json& entry) {
  Json out = Json::object();
  for (const char* f : kFlags) out[f] = entry[f];
  return out;
}

Json expect_flags(bool network, bool credentials, bool connection, bool live, bool exercise) {
  return Json{{"network_delivery_enabled", network}, {"credentials_verified", credentials},
              {"connection_verified", connection},   {"live_sending_enabled", live},
              {"exercise_sending_enabled", exercise}};
}

std::string connector_message(MobileWorld& world, const Json& request) {
  try {
    world.operate(request);
  } catch (const ConnectorError& e) {
    return e.what();
  } catch (const TemplateError& e) {
    return e.what();
  }
  return "";
}

class IntegrationsTest : public ::testing::Test {
 protected:
  IntegrationsTest()
      : world(mobile_config({{"sms", gateway_provider(gateway.url())}, {"whatsapp", {{"driver", "mock"}}}}, 2, true)) {}
  Json sms() { return world.parts->mobile().report()["sms"]; }
  Json contact(int n) { return world.config["contacts"][n - 1]; }
  bool route(int n, const std::string& channel, bool live) {
    return world.parts->mobile().route(contact(n), channel, live);
  }
  std::int64_t audits(const std::string& event) {
    return world.count("SELECT COUNT(*) AS n FROM audit WHERE event=?", {event});
  }

  FakeGateway gateway;
  MobileWorld world;
};

// --- readiness ----------------------------------------------------------------

TEST_F(IntegrationsTest, ConfiguredHttpAccountStartsUntestedAndSilent) {
  EXPECT_EQ(flags(sms()), expect_flags(false, false, false, false, false));
  EXPECT_EQ(sms()["driver"], "http");
  EXPECT_EQ(sms()["default_account"], "configured-sms");
  EXPECT_FALSE(route(1, "sms", false));
}

TEST_F(IntegrationsTest, MockAccountIsReadyForExercisesOnlyWithoutATest) {
  Json whatsapp = world.parts->mobile().report()["whatsapp"];
  EXPECT_EQ(flags(whatsapp), expect_flags(true, true, true, false, true));
  EXPECT_TRUE(route(1, "whatsapp", false));
  EXPECT_FALSE(route(1, "whatsapp", true));
  EXPECT_EQ(connector_message(world, {{"action", "set_sending"}, {"account_id", "configured-whatsapp"},
                                      {"mode", "live"}, {"enabled", true}}),
            "The exercise-only mock provider never carries live traffic.");
}

TEST_F(IntegrationsTest, ReadinessFollowsTestAndSwitches) {
  Json tested = world.operate({{"action", "test_account"}, {"account_id", "configured-sms"}});
  EXPECT_EQ(tested["ok"], true);
  EXPECT_EQ(gateway.requests().back().headers["x-halvenor-test"], "1");
  EXPECT_EQ(gateway.requests().back().json["to"], kTestNumber);
  EXPECT_EQ(flags(sms()), expect_flags(false, true, true, false, false));
  EXPECT_FALSE(route(1, "sms", false)) << "tested but not switched on";

  world.operate({{"action", "set_sending"}, {"account_id", "configured-sms"}, {"mode", "exercise"}, {"enabled", true}});
  EXPECT_EQ(flags(sms()), expect_flags(true, true, true, false, true));
  EXPECT_TRUE(route(1, "sms", false));
  EXPECT_FALSE(route(1, "sms", true));

  world.operate({{"action", "set_sending"}, {"account_id", "configured-sms"}, {"mode", "live"}, {"enabled", true}});
  EXPECT_EQ(flags(sms()), expect_flags(true, true, true, true, true));
  EXPECT_TRUE(route(1, "sms", true));
  EXPECT_EQ(world.core->agent_channel_status()["channels"]["sms"], "live");

  world.operate({{"action", "set_sending"}, {"account_id", "configured-sms"}, {"mode", "exercise"}, {"enabled", false}});
  EXPECT_FALSE(route(1, "sms", false));
  EXPECT_TRUE(route(1, "sms", true));
}

TEST_F(IntegrationsTest, FailedTestWithdrawsReadiness) {
  world.ready("configured-sms", true);
  gateway.answer_with(Answer::Unauthorized);
  Json result = world.operate({{"action", "test_account"}, {"account_id", "configured-sms"}});
  EXPECT_EQ(result["ok"], false);
  EXPECT_NE(result["message"].get<std::string>().find("Credentials not verified"), std::string::npos);
  EXPECT_EQ(result["account"]["connection_verified"], true);
  EXPECT_EQ(result["account"]["credentials_verified"], false);
  EXPECT_EQ(flags(sms()), expect_flags(false, false, false, false, false));
  EXPECT_FALSE(route(1, "sms", true));

  gateway.answer_with(Answer::ServerError);
  result = world.operate({{"action", "test_account"}, {"account_id", "configured-sms"}});
  EXPECT_EQ(result["account"]["connection_verified"], false);
  EXPECT_NE(result["account"]["last_error"].get<std::string>().find("Connection not verified"), std::string::npos);
}

TEST_F(IntegrationsTest, TransportPolicyDisabledSwitchesEveryChannelOff) {
  world.ready("configured-sms", true);
  Json config = world.config;
  config["provider"] = "disabled";
  world.core->replace_config(config);
  Json report = world.parts->mobile().report();
  EXPECT_EQ(flags(report["sms"]), expect_flags(false, false, false, false, false));
  EXPECT_EQ(flags(report["whatsapp"]), expect_flags(false, false, false, false, false));
  EXPECT_EQ(report["sms"]["driver"], "disabled");
  EXPECT_FALSE(route(1, "sms", true));
  EXPECT_FALSE(route(1, "whatsapp", false));
}

TEST_F(IntegrationsTest, RemovedContactHasNoRoute) {
  world.ready("configured-sms", true);
  EXPECT_FALSE(world.parts->mobile().route(Json::object(), "sms", false));
}

TEST_F(IntegrationsTest, ContactsFollowTheirAssignedAccount) {
  world.ready("configured-sms", true);
  Json saved = world.operate({{"action", "save_account"}, {"id", "backup-sms"}, {"channel", "sms"},
                              {"label", "Backup gateway"}, {"driver", "http"},
                              {"settings", gateway_provider(gateway.url())}});
  EXPECT_EQ(saved["account"]["source"], "dashboard");
  EXPECT_EQ(saved["account"]["default"], false);
  world.operate({{"action", "assign_contact"}, {"contact_id", "c2"}, {"account_id", "backup-sms"}});
  EXPECT_TRUE(route(1, "sms", false));
  EXPECT_FALSE(route(2, "sms", false)) << "c2's own account is untested";
  world.ready("backup-sms");
  EXPECT_TRUE(route(2, "sms", false));
  EXPECT_FALSE(route(2, "sms", true)) << "backup-sms is not enabled for live";
  world.operate({{"action", "assign_contact"}, {"contact_id", "c2"}, {"account_id", nullptr}, {"channel", "sms"}});
  EXPECT_TRUE(route(2, "sms", true)) << "back on the channel's default account";
}

TEST_F(IntegrationsTest, ContactsOwnAccountIdIsHonoured) {
  world.ready("configured-sms", true);
  Json config = world.config;
  config["contacts"][0]["account_id"] = "no-such-account";
  config["contacts"][1]["account_id"] = "configured-whatsapp";  // carries another channel
  world.core->replace_config(config);
  world.config = config;
  EXPECT_FALSE(route(1, "sms", false)) << "a broken assignment must not fall back silently";
  EXPECT_TRUE(route(2, "sms", false));
  EXPECT_TRUE(route(2, "whatsapp", false));
}

TEST_F(IntegrationsTest, ValidationUsesTheRoute) {
  Json request = alert_request({"sms"});
  // Network delivery off: the exercise is stored, no permission or route check.
  EXPECT_NO_THROW(world.core->create(kOperator, request, "request-key-0001"));
  world.operate({{"action", "test_account"}, {"account_id", "configured-sms"}});
  world.operate({{"action", "save_account"}, {"id", "backup-sms"}, {"channel", "sms"}, {"label", "Backup"},
                 {"driver", "http"}, {"settings", gateway_provider(gateway.url())}});
  world.operate({{"action", "set_sending"}, {"account_id", "configured-sms"}, {"mode", "exercise"}, {"enabled", true}});
  world.operate({{"action", "assign_contact"}, {"contact_id", "c2"}, {"account_id", "backup-sms"}});
  try {
    world.core->validate(request, std::string(kOperator));
    FAIL() << "c2's account is untested";
  } catch (const Invalid& e) {
    EXPECT_STREQ(e.what(), "A selected sms recipient has no tested, enabled provider account. Update its assignment.");
  }
}

// --- seeding --------------------------------------------------------------------

TEST_F(IntegrationsTest, RestartKeepsWhatITDidUntilTheConfigurationChanges) {
  world.ready("configured-sms", true);
  world.open();
  EXPECT_EQ(flags(sms()), expect_flags(true, true, true, true, true));
  world.config["mobile_providers"]["sms"]["timeout_seconds"] = 3;
  world.open();
  EXPECT_EQ(flags(sms()), expect_flags(false, false, false, false, false)) << "changed settings need a new test";
  world.config["mobile_providers"]["sms"] = {{"driver", "disabled"}};
  world.open();
  EXPECT_EQ(sms()["driver"], "disabled");
  EXPECT_FALSE(route(1, "sms", false));
}

// --- permission and validation --------------------------------------------------

TEST_F(IntegrationsTest, OnlyEnabledUserManagersMayOperate) {
  EXPECT_THROW(world.parts->mobile().operate(kOperator, {{"action", "list"}}), AccessDenied);
  EXPECT_THROW(world.parts->mobile().operate("nobody", {{"action", "list"}}), AccessDenied);
  Json config = world.config;
  config["users"][0]["can_manage_users"] = "true";
  world.core->replace_config(config);
  EXPECT_THROW(world.operate({{"action", "list"}}), AccessDenied);
  config["users"][0]["can_manage_users"] = true;
  config["users"][0]["enabled"] = false;
  world.core->replace_config(config);
  EXPECT_THROW(world.operate({{"action", "set_sending"}, {"account_id", "configured-sms"}, {"mode", "exercise"},
                              {"enabled", true}}),
               AccessDenied);
  EXPECT_EQ(world.count("SELECT COUNT(*) AS n FROM audit"), 0);
}

TEST_F(IntegrationsTest, BadInputIsRefusedWithAMessageAndWritesNothing) {
  EXPECT_NE(connector_message(world, {{"action", "reboot"}}).find("Unknown mobile integration action"),
            std::string::npos);
  EXPECT_EQ(connector_message(world, {{"action", "save_account"}, {"channel", "sms"}, {"driver", "http"}}),
            "Give the account a label.");
  EXPECT_EQ(connector_message(world, {{"action", "save_account"}, {"channel", "fax"}, {"label", "x"},
                                      {"driver", "mock"}}),
            "Choose the channel sms or whatsapp.");
  EXPECT_EQ(connector_message(world, {{"action", "save_account"}, {"channel", "sms"}, {"label", "x"},
                                      {"driver", "smtp"}}),
            "Choose the driver \"http\" or \"mock\".");
  EXPECT_NE(connector_message(world, {{"action", "save_account"}, {"channel", "sms"}, {"label", "x"},
                                      {"driver", "http"}, {"settings", {{"url", "http://gw.example/"}}}})
                .find("The account settings are not usable: \"url\" must start with https://"),
            std::string::npos);
  EXPECT_NE(connector_message(world, {{"action", "save_account"}, {"id", "configured-sms"}, {"label", "Mine"},
                                      {"driver", "mock"}})
                .find("comes from the configuration file"),
            std::string::npos);
  EXPECT_EQ(connector_message(world, {{"action", "set_sending"}, {"account_id", "configured-sms"}, {"mode", "live"},
                                      {"enabled", true}}),
            "Test provider account configured-sms successfully before enabling live sending.");
  EXPECT_EQ(connector_message(world, {{"action", "set_sending"}, {"account_id", "nope"}, {"mode", "exercise"},
                                      {"enabled", true}}),
            "Unknown provider account \"nope\".");
  EXPECT_EQ(connector_message(world, {{"action", "set_sending"}, {"account_id", "configured-sms"},
                                      {"mode", "exercise"}, {"enabled", "yes"}}),
            "\"enabled\" must be true or false.");
  EXPECT_EQ(connector_message(world, {{"action", "assign_contact"}, {"contact_id", "c9"},
                                      {"account_id", "configured-sms"}}),
            "Unknown contact \"c9\".");
  EXPECT_EQ(connector_message(world, {{"action", "send_test"}, {"account_id", "configured-sms"},
                                      {"recipient", "07700900123"}}),
            "Enter the test number in international format, such as +447700900123.");
  EXPECT_NE(connector_message(world, {{"action", "send_test"}, {"account_id", "configured-sms"},
                                      {"recipient", kTestNumber}, {"text", std::string(161, 'x')}})
                .find("1-160 characters"),
            std::string::npos);
  EXPECT_EQ(world.count("SELECT COUNT(*) AS n FROM audit"), 0);
  EXPECT_EQ(world.count("SELECT COUNT(*) AS n FROM mobile_accounts"), 2);
}

TEST_F(IntegrationsTest, AssignmentNeedsAContactThatReceivesTheChannel) {
  Json config = world.config;
  config["contacts"][0]["channels"] = {"whatsapp"};
  world.core->replace_config(config);
  EXPECT_EQ(connector_message(world, {{"action", "assign_contact"}, {"contact_id", "c1"},
                                      {"account_id", "configured-sms"}}),
            "Contact c1 does not receive sms messages.");
}

TEST_F(IntegrationsTest, EveryChangeIsAudited) {
  world.operate({{"action", "save_account"}, {"id", "backup-sms"}, {"channel", "sms"}, {"label", "Backup"},
                 {"driver", "http"}, {"settings", gateway_provider(gateway.url())}, {"default", true}});
  world.operate({{"action", "test_account"}, {"account_id", "backup-sms"}});
  world.operate({{"action", "set_sending"}, {"account_id", "backup-sms"}, {"mode", "exercise"}, {"enabled", true}});
  world.operate({{"action", "assign_contact"}, {"contact_id", "c1"}, {"account_id", "backup-sms"}});
  world.operate({{"action", "send_test"}, {"account_id", "backup-sms"}, {"recipient", "+447700900555"}});
  world.operate({{"action", "list"}});
  auto events = world.rows("SELECT actor,event,detail FROM audit ORDER BY seq");
  ASSERT_EQ(events.size(), 5u);
  EXPECT_EQ(events[0]["event"], "mobile.account_saved");
  EXPECT_EQ(events[1]["event"], "mobile.account_tested");
  EXPECT_EQ(events[2]["event"], "mobile.sending_changed");
  EXPECT_EQ(events[3]["event"], "mobile.contact_assigned");
  EXPECT_EQ(events[4]["event"], "mobile.test_sent");
  for (const Json& e : events) EXPECT_EQ(e["actor"], kAdmin);
  EXPECT_EQ(events[4]["detail"].get<std::string>().find("900555"), std::string::npos) << "the number is masked";
  EXPECT_EQ(sms()["default_account"], "backup-sms");
}

TEST_F(IntegrationsTest, ChangingSettingsRequiresANewTest) {
  world.operate({{"action", "save_account"}, {"id", "backup-sms"}, {"channel", "sms"}, {"label", "Backup"},
                 {"driver", "http"}, {"settings", gateway_provider(gateway.url())}});
  world.ready("backup-sms");
  Json relabelled = world.operate({{"action", "save_account"}, {"id", "backup-sms"}, {"label", "Backup 2"},
                                   {"driver", "http"}, {"settings", gateway_provider(gateway.url())}});
  EXPECT_EQ(relabelled["account"]["connection_verified"], true) << "a new label changes nothing that was tested";
  EXPECT_EQ(relabelled["account"]["exercise_enabled"], true);
  Json moved = world.operate({{"action", "save_account"}, {"id", "backup-sms"}, {"label", "Backup 2"},
                              {"driver", "http"}, {"settings", gateway_provider(gateway.url("/v2"))}});
  EXPECT_EQ(moved["account"]["connection_verified"], false);
  EXPECT_EQ(moved["account"]["exercise_enabled"], false);
}

TEST_F(IntegrationsTest, SendTestGoesToOneNumberAndIsRecorded) {
  Json result = world.operate(
      {{"action", "send_test"}, {"account_id", "configured-sms"}, {"recipient", "+447700900555"}, {"text", " Hi "}});
  EXPECT_EQ(result["ok"], true);
  FakeGateway::Request r = gateway.requests().back();
  EXPECT_EQ(r.json["to"], "+447700900555");
  EXPECT_EQ(r.json["text"], "Hi");
  EXPECT_EQ(r.key, result["id"]);
  Json list = world.operate({{"action", "list"}});
  ASSERT_EQ(list["test_sends"].size(), 1u);
  EXPECT_EQ(list["test_sends"][0]["state"], "sent");
  EXPECT_EQ(list["test_sends"][0]["recipient"], "+44*******555");
  EXPECT_EQ(list["accounts"].size(), 2u);
  EXPECT_TRUE(list.contains("queue"));

  gateway.answer_with(Answer::BadRequest);
  result = world.operate({{"action", "send_test"}, {"account_id", "configured-sms"}, {"recipient", "+447700900555"}});
  EXPECT_EQ(result["ok"], false);
  EXPECT_NE(result["reason"].get<std::string>().find("400"), std::string::npos);
}

TEST_F(IntegrationsTest, ListShowsSettingsButNeverTheCredential) {
  TempFolder folder;
  std::string key = folder.write("key", "Bearer top-secret-value\n");
  Json settings = gateway_provider(gateway.url());
  settings["auth_header"] = "Authorization";
  settings["credential_file"] = key;
  world.operate({{"action", "save_account"}, {"id", "keyed"}, {"channel", "sms"}, {"label", "Keyed"},
                 {"driver", "http"}, {"settings", settings}});
  world.operate({{"action", "test_account"}, {"account_id", "keyed"}});
  EXPECT_EQ(gateway.requests().back().headers["authorization"], "Bearer top-secret-value");
  std::string everything = world.operate({{"action", "list"}}).dump();
  for (const Json& row : world.rows("SELECT detail FROM audit")) everything += row["detail"].get<std::string>();
  for (const Json& row : world.rows("SELECT settings FROM mobile_accounts")) everything += row["settings"].get<std::string>();
  EXPECT_EQ(everything.find("top-secret-value"), std::string::npos);
  EXPECT_NE(everything.find(key), std::string::npos);
}

TEST(IntegrationsPreview, RendersForEveryMode) {
  MobileWorld world(mobile_config({{"whatsapp", {{"driver", "mock"}}}}));
  Json contact = world.config["contacts"][0];
  auto& mobile = world.parts->mobile();
  EXPECT_EQ(mobile.preview(contact, "T", "B", "exercise", nullptr)["preview"]["template"], "halvenor_exercise_alert");
  EXPECT_EQ(mobile.preview(contact, "T", "B", "live", nullptr)["preview"]["template"], "halvenor_incident_alert");
  Json standdown = mobile.preview(contact, "T", "B", "standdown", {{"action", "Resume"}})["preview"];
  EXPECT_EQ(standdown["template"], "halvenor_incident_standdown");
  EXPECT_EQ(standdown["recipient"], "Contact 1");
  EXPECT_NE(standdown["text"].get<std::string>().find("Action: Resume"), std::string::npos);
  EXPECT_THROW(mobile.preview(contact, "T", "B", "exercise", {{"ward", "7"}}), TemplateError);
}

}  // namespace
}  // namespace halvenor::testing
