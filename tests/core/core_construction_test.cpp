// Construction of the Core: policy checks in their order, provider errors,
// and the schema migrations on fresh, old and already migrated databases.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "base/errors.h"
#include "companions/mobile/providers.h"
#include "server/core/core.h"
#include "tests/support/config_builder.h"
#include "tests/support/core_harness.h"
#include "tests/support/refusal.h"

namespace halvenor {
namespace {

using test_support::ConfigBuilder;
using test_support::CoreHarness;
using test_support::refused_with;
using Names = std::vector<std::string>;

const Names kAlertColumns = {"id",       "created",   "expires",     "author",          "title",
                             "body",     "severity",  "channels",    "targets",         "cancelled",
                             "request_key", "request_hash", "whatsapp_values", "is_test", "deployment_scope",
                             "conclusion_of"};
const Names kCapabilityColumns = {"device_id", "live_capable", "seen", "protocol"};

// The live-desktop policy object with `changes` applied (null removes a key).
Json live_policy(Json changes) {
  Json policy = {{"enabled", true}, {"assurance_completed", true}, {"assurance_reference", "ASSURE-7"}};
  for (auto it = changes.begin(); it != changes.end(); ++it) {
    if (it->is_null())
      policy.erase(it.key());
    else
      policy[it.key()] = it.value();
  }
  return policy;
}

Json config_with(const std::string& mode, const std::string& provider, Json policy) {
  ConfigBuilder b;
  b.set("mode", mode).set("provider", provider);
  if (!policy.is_null()) b.set("live_desktop", std::move(policy));
  return b.build();
}

::testing::AssertionResult construction_refused(Json config, const std::string& message) {
  CoreHarness h;
  auto result = refused_with([&] { h.start(std::move(config)); }, message);
  if (result && std::filesystem::exists(h.db_path()))
    return ::testing::AssertionFailure() << "a refused construction created the database";
  return result;
}

const char* const kModePolicy = "Supported core mode and mobile transport policy required";
const char* const kInvalidPolicy = "Invalid live desktop policy";
const char* const kUnknownScope = "Unknown deployment scope";
const char* const kNeedsControlledLive = "Live desktop needs controlled_live mode";
const char* const kAssurance = "Operational live desktop requires assurance completion/reference";

TEST(CorePolicyTest, ModeAndProviderMustBeSupported) {
  EXPECT_TRUE(construction_refused(ConfigBuilder().erase("mode"), kModePolicy));
  EXPECT_TRUE(construction_refused(ConfigBuilder().set("mode", "live"), kModePolicy));
  EXPECT_TRUE(construction_refused(ConfigBuilder().set("mode", "TEST"), kModePolicy));
  EXPECT_TRUE(construction_refused(ConfigBuilder().erase("provider"), kModePolicy));
  EXPECT_TRUE(construction_refused(ConfigBuilder().set("provider", "twilio"), kModePolicy));
  // Checked before the live-desktop policy, which is also broken here.
  EXPECT_TRUE(construction_refused(config_with("exercise", "mock", Json("on")), kModePolicy));
  for (const char* mode : {"test", "controlled_live"})
    for (const char* provider : {"mock", "disabled"}) {
      CoreHarness h(config_with(mode, provider, nullptr));
      EXPECT_FALSE(h->live_enabled());
      EXPECT_EQ(h->deployment_scope(), "operational");
    }
}

TEST(CorePolicyTest, LiveDesktopPolicyMustBeAnObjectWithABooleanSwitch) {
  for (Json policy : {Json("enabled"), Json::array(), Json(true), Json(nullptr)}) {
    ConfigBuilder b;
    b.set("live_desktop", policy);
    EXPECT_TRUE(construction_refused(b, kInvalidPolicy)) << policy.dump();
  }
  Json null_switch = live_policy({});
  null_switch["enabled"] = nullptr;
  EXPECT_TRUE(construction_refused(config_with("controlled_live", "mock", null_switch), kInvalidPolicy));
  for (Json enabled : {Json(1), Json("true"), Json(0), Json("false")})
    EXPECT_TRUE(construction_refused(config_with("controlled_live", "mock", live_policy({{"enabled", enabled}})),
                                     kInvalidPolicy))
        << enabled.dump();
  // Before the scope, which is unknown here too.
  EXPECT_TRUE(construction_refused(
      config_with("controlled_live", "mock", live_policy({{"enabled", 1}, {"deployment_scope", "lab"}})),
      kInvalidPolicy));
}

TEST(CorePolicyTest, DeploymentScopeMustBeKnownEvenWithLiveDesktopOff) {
  EXPECT_TRUE(construction_refused(config_with("test", "mock", {{"deployment_scope", "lab"}}), kUnknownScope));
  EXPECT_TRUE(construction_refused(config_with("test", "mock", {{"deployment_scope", nullptr}}), kUnknownScope));
  // Before the mode check of a live policy.
  EXPECT_TRUE(construction_refused(
      config_with("test", "mock", live_policy({{"deployment_scope", "Home_Lab"}})), kUnknownScope));
  CoreHarness h(config_with("test", "mock", {{"deployment_scope", "home_lab"}}));
  EXPECT_EQ(h->deployment_scope(), "home_lab");
  EXPECT_FALSE(h->live_enabled());
}

TEST(CorePolicyTest, LiveDesktopNeedsControlledLiveMode) {
  EXPECT_TRUE(construction_refused(config_with("test", "mock", live_policy({})), kNeedsControlledLive));
  EXPECT_TRUE(construction_refused(config_with("test", "mock", live_policy({{"deployment_scope", "home_lab"}})),
                                   kNeedsControlledLive));
  // Before the assurance check, which fails here too.
  EXPECT_TRUE(construction_refused(config_with("test", "mock", {{"enabled", true}}), kNeedsControlledLive));
}

TEST(CorePolicyTest, OperationalLiveDesktopRequiresAssurance) {
  const std::vector<Json> refused = {
      live_policy({{"assurance_completed", nullptr}}),
      live_policy({{"assurance_completed", "true"}}),
      live_policy({{"assurance_completed", 1}}),
      live_policy({{"assurance_completed", false}}),
      live_policy({{"assurance_reference", nullptr}}),
      live_policy({{"assurance_reference", ""}}),
      live_policy({{"assurance_reference", "   "}}),
      live_policy({{"assurance_reference", "\t\n"}}),
      live_policy({{"assurance_reference", "\u3000\u00a0\u2003"}}),  // ideographic, no-break and em spaces
      live_policy({{"assurance_reference", 42}}),
      live_policy({{"assurance_reference", "   "}, {"enabled_by_default", "true"}}),
      live_policy({{"assurance_reference", "   "}, {"enabled_by_default", 1}}),
      live_policy({{"deployment_scope", "operational"}, {"assurance_completed", nullptr}}),
  };
  for (const Json& policy : refused)
    EXPECT_TRUE(construction_refused(config_with("controlled_live", "mock", policy), kAssurance)) << policy.dump();

  const std::vector<Json> accepted = {
      live_policy({}),
      live_policy({{"assurance_reference", "\u3000R\u3000"}}),
      live_policy({{"assurance_reference", "   "}, {"enabled_by_default", true}}),
      live_policy({{"assurance_completed", nullptr}, {"assurance_reference", nullptr}, {"enabled_by_default", true}}),
      live_policy({{"deployment_scope", "home_lab"}, {"assurance_completed", nullptr},
                   {"assurance_reference", nullptr}}),
  };
  for (const Json& policy : accepted) {
    CoreHarness h(config_with("controlled_live", "disabled", policy));
    EXPECT_TRUE(h->live_enabled()) << policy.dump();
  }
  // Live desktop off needs no assurance, whatever the mode.
  CoreHarness off(config_with("controlled_live", "mock", {{"enabled", false}}));
  EXPECT_FALSE(off->live_enabled());
}

TEST(CorePolicyTest, ProviderErrorsBecomeInvalidWithTheirText) {
  for (Json providers : {Json({{"sms", {{"driver", "carrier-pigeon"}}}}), Json({{"fax", {{"driver", "mock"}}}}),
                         Json("mock"), Json({{"whatsapp", {{"driver", "http"}}}})}) {
    Json config = ConfigBuilder().set("mobile_providers", providers);
    std::string text;
    try {
      build_providers(config);
    } catch (const ProviderConfigurationError& e) {
      text = e.what();
    }
    ASSERT_FALSE(text.empty()) << providers.dump();
    EXPECT_TRUE(construction_refused(config, text));
  }
  // Policy checks come first.
  Json both = config_with("controlled_live", "mock", {{"enabled", "yes"}});
  both["mobile_providers"] = {{"sms", {{"driver", "carrier-pigeon"}}}};
  EXPECT_TRUE(construction_refused(both, kInvalidPolicy));
}

TEST(CorePolicyTest, RefusedConstructionLeavesAnExistingDatabaseUntouched) {
  CoreHarness h;
  h.exec("CREATE TABLE alerts(id TEXT PRIMARY KEY, created REAL, expires REAL, author TEXT, title TEXT, "
         "body TEXT, severity TEXT, channels TEXT, targets TEXT, cancelled INTEGER DEFAULT 0, "
         "request_key TEXT UNIQUE, request_hash TEXT)");
  auto schema = h.rows("SELECT type,name,sql FROM sqlite_master ORDER BY name");
  EXPECT_THROW(h.start(ConfigBuilder().set("live_desktop", {{"enabled", 1}})), Invalid);
  EXPECT_THROW(h.start(ConfigBuilder().set("mobile_providers", {{"sms", {{"driver", "nope"}}}})), Invalid);
  EXPECT_EQ(h.rows("SELECT type,name,sql FROM sqlite_master ORDER BY name"), schema);
  EXPECT_EQ(h.row("PRAGMA journal_mode")["journal_mode"], "delete");
}

// --- migrations ---------------------------------------------------------------

// The alerts table as first released, and the capability table without protocol.
void create_original_tables(CoreHarness& h, bool with_is_test = false) {
  std::string extra = with_is_test ? ", whatsapp_values TEXT NOT NULL DEFAULT '{}', "
                                     "is_test INTEGER NOT NULL DEFAULT 1"
                                   : "";
  h.exec("CREATE TABLE alerts(id TEXT PRIMARY KEY, created REAL, expires REAL, author TEXT, title TEXT, "
         "body TEXT, severity TEXT, channels TEXT, targets TEXT, cancelled INTEGER DEFAULT 0, "
         "request_key TEXT UNIQUE, request_hash TEXT" + extra + ");"
         "CREATE TABLE agent_capabilities(device_id TEXT PRIMARY KEY, live_capable INTEGER NOT NULL, "
         "seen REAL NOT NULL);"
         "INSERT INTO agent_capabilities VALUES('pc-old', 1, 1600000000.5);");
}

void insert_old_alert(CoreHarness& h, const std::string& id, std::optional<int> is_test) {
  if (is_test)
    h.exec("INSERT INTO alerts(id,created,expires,author,title,body,severity,channels,targets,request_key,"
           "request_hash,is_test) VALUES('" + id + "',1.5,2.5,'op','T','B','ticker','[\"desktop\"]','{}','key-" +
           id + "','h'," + std::to_string(*is_test) + ")");
  else
    h.exec("INSERT INTO alerts(id,created,expires,author,title,body,severity,channels,targets,request_key,"
           "request_hash) VALUES('" + id + "',1.5,2.5,'op','T','B','ticker','[\"desktop\"]','{}','key-" + id +
           "','h')");
}

TEST(CoreMigrationTest, FreshDatabaseHasTheFullLayoutInOrder) {
  CoreHarness h(ConfigBuilder().build());
  EXPECT_EQ(h.columns("alerts"), kAlertColumns);
  EXPECT_EQ(h.columns("agent_capabilities"), kCapabilityColumns);
  EXPECT_EQ(h.columns("deliveries"),
            (Names{"alert_id", "recipient_id", "channel", "status", "received", "displayed", "acknowledged"}));
  EXPECT_EQ(h.columns("heartbeats"), (Names{"device_id", "seen"}));
  EXPECT_EQ(h.columns("audit"), (Names{"seq", "at", "actor", "event", "detail", "previous", "hash"}));
  EXPECT_EQ(h.row("PRAGMA journal_mode")["journal_mode"], "wal");

  // Defaults of the added columns, and the one-stand-down-per-incident index.
  h.exec("INSERT INTO alerts(id,request_key) VALUES('a',  'k1')");
  EXPECT_EQ(h.row("SELECT whatsapp_values,is_test,deployment_scope,conclusion_of,cancelled FROM alerts"),
            Json({{"whatsapp_values", "{}"}, {"is_test", 1}, {"deployment_scope", "exercise"},
                  {"conclusion_of", nullptr}, {"cancelled", 0}}));
  h.exec("INSERT INTO alerts(id,request_key,conclusion_of) VALUES('s1','k2','a')");
  h.exec("INSERT INTO alerts(id,request_key) VALUES('b','k3')");  // many nulls are fine
  EXPECT_THROW(h.exec("INSERT INTO alerts(id,request_key,conclusion_of) VALUES('s2','k4','a')"), DatabaseError);
  EXPECT_THROW(h.exec("INSERT INTO alerts(id,request_key) VALUES('c','k1')"), DatabaseError);
  h.exec("INSERT INTO agent_capabilities(device_id,live_capable,seen) VALUES('pc',1,2.0)");
  EXPECT_EQ(h.row("SELECT protocol FROM agent_capabilities")["protocol"], "live-desktop-v1");
}

TEST(CoreMigrationTest, OldDatabaseGainsTheFourColumnsInOrder) {
  CoreHarness h;
  create_original_tables(h);
  insert_old_alert(h, "old-1", std::nullopt);
  insert_old_alert(h, "old-2", std::nullopt);
  h.start(ConfigBuilder());
  EXPECT_EQ(h.columns("alerts"), kAlertColumns);
  EXPECT_EQ(h.columns("agent_capabilities"), kCapabilityColumns);
  EXPECT_EQ(h.rows("SELECT id,whatsapp_values,is_test,deployment_scope,conclusion_of,title FROM alerts ORDER BY id"),
            (std::vector<Json>{
                {{"id", "old-1"}, {"whatsapp_values", "{}"}, {"is_test", 1}, {"deployment_scope", "exercise"},
                 {"conclusion_of", nullptr}, {"title", "T"}},
                {{"id", "old-2"}, {"whatsapp_values", "{}"}, {"is_test", 1}, {"deployment_scope", "exercise"},
                 {"conclusion_of", nullptr}, {"title", "T"}}}));
  EXPECT_EQ(h.row("SELECT * FROM agent_capabilities"),
            Json({{"device_id", "pc-old"}, {"live_capable", 1}, {"seen", 1600000000.5},
                  {"protocol", "live-desktop-v1"}}));
}

TEST(CoreMigrationTest, LiveRowsStoredBeforeTheScopeColumnBecomeUnspecified) {
  CoreHarness h;
  create_original_tables(h, /*with_is_test=*/true);
  insert_old_alert(h, "exercise-1", 1);
  insert_old_alert(h, "live-1", 0);
  insert_old_alert(h, "live-2", 0);
  h.start(ConfigBuilder());
  EXPECT_EQ(h.columns("alerts"), kAlertColumns);
  EXPECT_EQ(h.rows("SELECT id,deployment_scope FROM alerts ORDER BY id"),
            (std::vector<Json>{{{"id", "exercise-1"}, {"deployment_scope", "exercise"}},
                               {{"id", "live-1"}, {"deployment_scope", "unspecified"}},
                               {{"id", "live-2"}, {"deployment_scope", "unspecified"}}}));
}

TEST(CoreMigrationTest, SecondStartChangesNothing) {
  CoreHarness h;
  create_original_tables(h, /*with_is_test=*/true);
  insert_old_alert(h, "live-1", 0);
  h.start(ConfigBuilder());
  auto schema = h.rows("SELECT type,name,tbl_name,sql FROM sqlite_master ORDER BY name");

  // A live row written after the first migration with scope "exercise" must
  // keep it: the "unspecified" update belongs to the run that adds the column.
  h.exec("INSERT INTO alerts(id,request_key,is_test,deployment_scope) VALUES('live-2','k',0,'exercise')");
  h.start(ConfigBuilder());
  h.start(ConfigBuilder());
  EXPECT_EQ(h.rows("SELECT type,name,tbl_name,sql FROM sqlite_master ORDER BY name"), schema);
  EXPECT_EQ(h.columns("alerts"), kAlertColumns);
  EXPECT_EQ(h.columns("agent_capabilities"), kCapabilityColumns);
  EXPECT_EQ(h.rows("SELECT id,deployment_scope FROM alerts ORDER BY id"),
            (std::vector<Json>{{{"id", "live-1"}, {"deployment_scope", "unspecified"}},
                               {{"id", "live-2"}, {"deployment_scope", "exercise"}}}));
}

}  // namespace
}  // namespace halvenor
