// Caller authentication: users before devices in document order, the
// entries that never sign in, and the missing-key failures.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "base/digest.h"
#include "base/errors.h"
#include "server/core/core.h"
#include "tests/support/config_builder.h"
#include "tests/support/core_harness.h"

namespace halvenor {
namespace {

using test_support::ConfigBuilder;
using test_support::CoreHarness;

// "actor/role", or "none" when nobody signs in.
std::string who(CoreHarness& h, const std::string& token) {
  auto caller = h->authenticate(token);
  return caller ? caller->actor + "/" + caller->role : "none";
}

TEST(CallerAuthenticationTest, UsersAreSearchedBeforeDevicesInDocumentOrder) {
  CoreHarness h(ConfigBuilder()
                    .user("disabled", {{"enabled", false}, {"token", "shared-a"}})
                    .user("removed", {{"removed", true}, {"token", "shared-b"}})
                    .user("entra", {{"identity_provider", "entra"}, {"token", "shared-c"}})
                    .user("reader", {{"role", "auditor"}, {"token", "shared-b"}})
                    .user("both", {{"token", "user-and-device"}})
                    .user("first", {{"token", "twice"}})
                    .user("second", {{"token", "twice"}})
                    .device("pc-1", "North", "Wards", {{"token", "shared-a"}})
                    .device("pc-2", "North", "Wards", {{"token", "user-and-device"}})
                    .device("pc-off", "North", "Wards", {{"enabled", false}, {"token", "device-off"}})
                    .device("pc-gone", "North", "Wards", {{"removed", 1}, {"token", "device-gone"}})
                    .device("pc-3", "North", "Wards", {{"token", "device-gone"}}));
  // A disabled or removed user is passed over; the search goes on.
  EXPECT_EQ(who(h, "shared-a"), "pc-1/device");
  EXPECT_EQ(who(h, "shared-b"), "reader/auditor");
  EXPECT_EQ(who(h, "shared-c"), "none");  // organisation users never use a stored credential
  EXPECT_EQ(who(h, "user-and-device"), "both/operator");
  EXPECT_EQ(who(h, "twice"), "first/operator");
  EXPECT_EQ(who(h, "device-off"), "none");
  EXPECT_EQ(who(h, "device-gone"), "pc-3/device");
  EXPECT_EQ(who(h, test_support::device_token("pc-2")), "none");  // its token was replaced above
  for (const char* unknown : {"", "shared", "shared-a ", "SHARED-A", "twice\n"}) EXPECT_EQ(who(h, unknown), "none");
}

TEST(CallerAuthenticationTest, DisabledAndRemovedFlagsCountByTruth) {
  CoreHarness h(ConfigBuilder()
                    .user("zero", {{"enabled", 0}})
                    .user("empty-text", {{"enabled", ""}})
                    .user("text-false", {{"enabled", "false"}})  // non-empty text is true
                    .user("null-removed", {{"removed", nullptr}}));
  EXPECT_EQ(who(h, test_support::user_token("zero")), "none");
  EXPECT_EQ(who(h, test_support::user_token("empty-text")), "none");
  EXPECT_EQ(who(h, test_support::user_token("text-false")), "text-false/operator");
  EXPECT_EQ(who(h, test_support::user_token("null-removed")), "null-removed/operator");
}

TEST(CallerAuthenticationTest, MissingListsAreMissingKeyFailures) {
  CoreHarness h(ConfigBuilder().user("op").device("pc", "North", "Wards"));
  h->replace_config(ConfigBuilder().erase("users").device("pc", "North", "Wards"));
  EXPECT_THROW(h->authenticate(test_support::device_token("pc")), MissingKey);

  // Without devices, a user still signs in; reaching the devices fails.
  h->replace_config(ConfigBuilder().erase("devices").user("op"));
  EXPECT_EQ(who(h, test_support::user_token("op")), "op/operator");
  EXPECT_THROW(h->authenticate("unknown"), MissingKey);
}

TEST(CallerAuthenticationTest, EligibleUserWithoutCredentialFailsOnlyWhenReached) {
  Json config = ConfigBuilder()
                    .user("early")
                    .user("no-token")
                    .user("late")
                    .user("off-no-token", {{"enabled", false}})
                    .user("entra-no-token", {{"identity_provider", "entra"}})
                    .device("pc", "North", "Wards");
  config["users"][1].erase("token");
  config["users"][3].erase("token");
  config["users"][4].erase("token");
  CoreHarness h(config);
  EXPECT_EQ(who(h, test_support::user_token("early")), "early/operator");
  EXPECT_THROW(h->authenticate(test_support::user_token("late")), MissingKey);
  EXPECT_THROW(h->authenticate(test_support::device_token("pc")), MissingKey);
  EXPECT_THROW(h->authenticate("unknown"), MissingKey);

  // Ineligible entries without a credential are never reached.
  config["users"].erase(1);
  h->replace_config(config);
  EXPECT_EQ(who(h, test_support::user_token("late")), "late/operator");
  EXPECT_EQ(who(h, test_support::device_token("pc")), "pc/device");
  EXPECT_EQ(who(h, "unknown"), "none");
}

TEST(CallerAuthenticationTest, MatchingEntryWithoutIdOrRoleIsAMissingKey) {
  Json config = ConfigBuilder().user("op").device("pc", "North", "Wards");
  config["users"][0].erase("role");
  config["devices"][0].erase("id");
  CoreHarness h(config);
  EXPECT_THROW(h->authenticate(test_support::user_token("op")), MissingKey);
  EXPECT_THROW(h->authenticate(test_support::device_token("pc")), MissingKey);
}

TEST(CallerAuthenticationTest, OrganisationSessionIsAnsweredBeforeStoredCredentials) {
  const std::string session = "hvs_shared-credential";
  Json config = ConfigBuilder()
                    .set("organisation_identity", {{"enabled", true}})
                    .user("person@example.org", {{"identity_provider", "entra"}, {"role", "auditor"}})
                    .user("local", {{"token", session}});
  CoreHarness h(config);
  h.exec("INSERT INTO identity_sessions(token_hash,user_id,subject,created,expires) VALUES('" + sha256_hex(session) +
         "','person@example.org','person@example.org',0," + std::to_string(test_support::kStartTime + 60) + ")");
  EXPECT_EQ(who(h, session), "person@example.org/auditor");
  // Once the session has ended, the stored credential is tried.
  h.clock().advance(61);
  EXPECT_EQ(who(h, session), "local/operator");
}

TEST(CallerAuthenticationTest, ReplacedConfigurationIsSeenByTheNextCall) {
  CoreHarness h(ConfigBuilder().user("op").device("pc", "North", "Wards"));
  ASSERT_EQ(who(h, test_support::user_token("op")), "op/operator");
  h->replace_config(ConfigBuilder()
                        .user("op", {{"token", "rotated"}, {"role", "auditor"}})
                        .device("pc", "North", "Wards", {{"enabled", false}}));
  EXPECT_EQ(who(h, test_support::user_token("op")), "none");
  EXPECT_EQ(who(h, "rotated"), "op/auditor");
  EXPECT_EQ(who(h, test_support::device_token("pc")), "none");
}

}  // namespace
}  // namespace halvenor
