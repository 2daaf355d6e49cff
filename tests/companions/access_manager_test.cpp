#include "companions/access/access_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>
#include <vector>

#include "base/errors.h"
#include "companions/access/directory_change.h"
#include "tests/companions/companion_test_support.h"

namespace halvenor {
namespace {

using testing_support::Installation;

constexpr char kBaseUrl[] = "https://alerts.hospital.example:8443";

std::string file_text(const std::filesystem::path& path) { return setup::read_file(path, 1 << 24); }

template <typename F>
std::string access_refusal(F f) {
  try {
    f();
  } catch (const AccessInvalid& e) {
    return e.what();
  }
  return "<accepted>";
}

class AccessManagerTest : public ::testing::Test {
 protected:
  AccessManager& access() { return *home_.parts().access(); }
  Json change(const Json& request) { return access().change("admin", request, kBaseUrl); }

  // The file on disk parses, is what the core now serves, and a fresh core
  // (the next start of the server) accepts it.
  void expect_file_matches_core() {
    const std::string text = file_text(home_.config_path());
    Json parsed = json::parse_text(text);
    EXPECT_EQ(parsed, home_.core().config()->doc());
    EXPECT_EQ(text, json::indented(parsed));
    struct stat info {};
    stat(home_.config_path().c_str(), &info);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    testing_support::TempFolder other;
    EXPECT_NO_THROW(ServiceParts(parsed, (other.path() / "check.sqlite3").string(), home_.config_path().string()));
  }

  Installation home_;
};

TEST_F(AccessManagerTest, EachKindOfChangeIsWrittenPublishedAndAudited) {
  // A new user gets a credential, shown once and usable at once.
  Json added = change({{"kind", "user"},
                       {"action", "add"},
                       {"entry", {{"id", "j.smith"}, {"role", "auditor"}, {"display_name", "J Smith"}}}});
  const std::string user_token = added["token"];
  EXPECT_EQ(user_token.size(), 43u);
  EXPECT_FALSE(added["entry"].contains("token"));
  EXPECT_EQ(home_.core().authenticate(user_token)->actor, "j.smith");
  expect_file_matches_core();

  // Enrolment: a device credential, the address agents use, then rotation.
  Json enrolled = change({{"kind", "device"},
                          {"action", "enrol"},
                          {"entry", {{"id", "ed-pc-1"}, {"site", "South"}, {"department", "Emergency Department"}}}});
  EXPECT_EQ(enrolled["server_url"], kBaseUrl);
  const std::string device_token = enrolled["token"];
  EXPECT_EQ(home_.core().authenticate(device_token)->role, "device");
  Json rotated = change({{"kind", "device"}, {"action", "rotate_token"}, {"id", "ed-pc-1"}});
  EXPECT_FALSE(home_.core().authenticate(device_token).has_value());
  EXPECT_EQ(home_.core().authenticate(rotated["token"].get<std::string>())->actor, "ed-pc-1");
  change({{"kind", "device"}, {"action", "disable"}, {"id", "ed-pc-1"}});
  EXPECT_FALSE(home_.core().authenticate(rotated["token"].get<std::string>()).has_value());
  expect_file_matches_core();

  // Contacts and groups; removing a contact also disables it.
  change({{"kind", "contact"},
          {"action", "add"},
          {"entry", {{"id", "duty-manager"}, {"phone", "+447700900101"}, {"channels", {"sms"}}, {"site", "BOTH"}}}});
  change({{"kind", "group"}, {"action", "add"}, {"entry", {{"id", "incident-team"}, {"members", {"duty-manager", "ward-pc-7"}}}}});
  change({{"kind", "contact"}, {"action", "remove"}, {"id", "duty-manager"}});
  const Json& contact = home_.core().config()->doc()["contacts"][0];
  EXPECT_EQ(contact["removed"], true);
  EXPECT_EQ(contact["enabled"], false);
  change({{"kind", "contact"}, {"action", "restore"}, {"id", "duty-manager"}});
  EXPECT_EQ(home_.core().config()->doc()["contacts"][0]["enabled"], true);

  // Sites and departments.
  change({{"kind", "site"}, {"action", "add"}, {"name", "East"}, {"label", "East Clinic"}});
  change({{"kind", "department"}, {"action", "add"}, {"name", "Pharmacy"}});
  change({{"kind", "device"}, {"action", "edit"}, {"id", "ward-pc-7"},
          {"changes", {{"site", "East"}, {"department", "Pharmacy"}, {"display_name", nullptr}}}});
  EXPECT_FALSE(home_.core().config()->doc()["devices"][0].contains("display_name"));
  EXPECT_EQ(home_.core().site_labels()["East"], "East Clinic");
  EXPECT_NE(access_refusal([&] { change({{"kind", "site"}, {"action", "remove"}, {"name", "East"}}); }).find("still assigned"),
            std::string::npos);
  EXPECT_NE(access_refusal([&] { change({{"kind", "department"}, {"action", "remove"}, {"name", "Wards"}}); })
                .find("Built-in"),
            std::string::npos);
  expect_file_matches_core();

  // The view and the audit trail never carry a credential.
  Json view = access().view("admin");
  const std::string audit = home_.audit_text();
  for (const std::string& secret : {user_token, device_token, rotated["token"].get<std::string>(),
                                    std::string(testing_support::kAdminToken)}) {
    EXPECT_EQ(view.dump().find(secret), std::string::npos);
    EXPECT_EQ(audit.find(secret), std::string::npos);
  }
  EXPECT_NE(audit.find("access.user.added"), std::string::npos);
  EXPECT_NE(audit.find("access.device.token_rotated"), std::string::npos);
  EXPECT_NE(audit.find("access.contact.removed"), std::string::npos);
  EXPECT_NE(audit.find("\"before\""), std::string::npos);
}

TEST_F(AccessManagerTest, RefusesMalformedChangesAndWritesNothing) {
  const std::string before = file_text(home_.config_path());
  const Json refused[] = {
      {{"kind", "user"}, {"action", "add"}, {"entry", {{"id", "x y"}, {"role", "operator"}}}},
      {{"kind", "user"}, {"action", "add"}, {"entry", {{"id", "admin"}, {"role", "operator"}}}},
      {{"kind", "user"}, {"action", "add"}, {"entry", {{"id", "new"}, {"role", "root"}}}},
      {{"kind", "user"}, {"action", "add"}, {"entry", {{"id", "new"}, {"role", "operator"}, {"can_send_live", "yes"}}}},
      {{"kind", "user"}, {"action", "add"}, {"entry", {{"id", "new"}, {"role", "operator"}, {"token", "mine"}}}},
      {{"kind", "user"}, {"action", "edit"}, {"id", "admin"}, {"changes", {{"token", "x"}}}},
      {{"kind", "device"}, {"action", "add"}, {"entry", {{"id", "admin-pc"}, {"site", "Atlantis"}}}},
      {{"kind", "device"}, {"action", "add"}, {"entry", {{"id", "ward-pc-7"}, {"site", "North"}}}},
      {{"kind", "device"}, {"action", "add"}, {"entry", {{"id", "pc-9"}, {"site", "North"}, {"colour", "red"}}}},
      {{"kind", "contact"}, {"action", "add"}, {"entry", {{"id", "c1"}, {"phone", "07700"}, {"channels", {"sms"}}, {"site", "North"}}}},
      {{"kind", "group"}, {"action", "add"}, {"entry", {{"id", "g"}, {"members", {"ghost"}}}}},
      {{"kind", "device"}, {"action", "disable"}, {"id", "ghost"}},
      {{"kind", "planet"}, {"action", "add"}},
      {{"kind", "user"}, {"action", "explode"}, {"id", "admin"}},
  };
  for (const Json& request : refused)
    EXPECT_NE(access_refusal([&] { change(request); }), "<accepted>") << request.dump();
  EXPECT_EQ(file_text(home_.config_path()), before);
  EXPECT_THROW(access().change("operator", {{"kind", "site"}, {"action", "add"}, {"name", "West"}}, kBaseUrl),
               AccessDenied);
  EXPECT_THROW(access().view("operator"), AccessDenied);
  EXPECT_EQ(home_.audit_events().size(), 0u);
}

TEST_F(AccessManagerTest, NewIdsMustDifferFromEveryKindInAnyLetterCase) {
  const Json clashes[] = {
      {{"kind", "user"}, {"action", "add"}, {"entry", {{"id", "ward-pc-7"}, {"role", "operator"}}}},
      {{"kind", "user"}, {"action", "add"}, {"entry", {{"id", "ADMIN"}, {"role", "auditor"}}}},
      {{"kind", "group"}, {"action", "add"}, {"entry", {{"id", "Ward-PC-7"}}}},
      {{"kind", "contact"}, {"action", "add"},
       {"entry", {{"id", "Admin"}, {"phone", "+447700900123"}, {"channels", {"sms"}}, {"site", "North"}}}},
  };
  for (const Json& request : clashes) {
    const std::string id = request["entry"]["id"];
    EXPECT_EQ(access_refusal([&] { change(request); }), "\"" + id + "\" is already in use.") << request.dump();
  }
  EXPECT_EQ(home_.audit_events().size(), 0u);
}

TEST_F(AccessManagerTest, TheLastAdministratorCannotLockEveryoneOut) {
  const std::string before = file_text(home_.config_path());
  const Json lockouts[] = {
      {{"kind", "user"}, {"action", "disable"}, {"id", "admin"}},
      {{"kind", "user"}, {"action", "remove"}, {"id", "admin"}},
      {{"kind", "user"}, {"action", "edit"}, {"id", "admin"}, {"changes", {{"can_manage_users", false}}}},
      {{"kind", "user"}, {"action", "edit"}, {"id", "admin"}, {"changes", {{"enabled", false}}}},
      // Organisation sign-in is off, so an organisation-only administrator could not sign in.
      {{"kind", "user"}, {"action", "edit"}, {"id", "admin"}, {"changes", {{"identity_provider", "entra"}}}},
  };
  for (const Json& request : lockouts)
    EXPECT_NE(access_refusal([&] { change(request); }).find("no enabled user who can manage users"), std::string::npos)
        << request.dump();
  EXPECT_EQ(file_text(home_.config_path()), before);

  // With a second administrator the first may step down.
  Json second = change({{"kind", "user"},
                        {"action", "add"},
                        {"entry", {{"id", "deputy"}, {"role", "operator"}, {"can_manage_users", true}}}});
  change({{"kind", "user"}, {"action", "remove"}, {"id", "admin"}});
  EXPECT_FALSE(home_.core().authenticate(testing_support::kAdminToken).has_value());
  EXPECT_THROW(access().view("admin"), AccessDenied);
  EXPECT_NE(access_refusal([&] {
              access().change("deputy", {{"kind", "user"}, {"action", "disable"}, {"id", "deputy"}}, kBaseUrl);
            }),
            "<accepted>");
  access().change("deputy", {{"kind", "user"}, {"action", "restore"}, {"id", "admin"}}, kBaseUrl);
  EXPECT_EQ(home_.core().authenticate(testing_support::kAdminToken)->actor, "admin");
  expect_file_matches_core();
}

TEST_F(AccessManagerTest, ConcurrentChangesAllSurvive) {
  constexpr int kThreads = 8;
  constexpr int kChangesPerThread = 5;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < kChangesPerThread; ++i) {
        try {
          std::string id = "pc-" + std::to_string(t) + "-" + std::to_string(i);
          change({{"kind", "device"}, {"action", "enrol"}, {"entry", {{"id", id}, {"site", "North"}}}});
        } catch (const std::exception&) {
          ++failures;
        }
      }
    });
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(failures.load(), 0);
  const Json& devices = home_.core().config()->doc()["devices"];
  EXPECT_EQ(devices.size(), 1u + kThreads * kChangesPerThread);
  Json on_disk = json::parse_text(file_text(home_.config_path()));
  EXPECT_EQ(on_disk["devices"].size(), devices.size());
  EXPECT_EQ(home_.audit_events().size(), static_cast<std::size_t>(kThreads * kChangesPerThread));
  expect_file_matches_core();
}

// An id listed twice by hand is decided by the entry that can sign in, the
// same entry sign-in and alert permissions use, whichever comes first.
TEST_F(AccessManagerTest, AnIdListedTwiceIsDecidedByItsActiveEntry) {
  Json config = home_.core().config()->doc();
  Json former = config["users"][0];
  former["removed"] = true;
  former["can_manage_users"] = false;
  config["users"].insert(config["users"].begin(), former);
  home_.core().replace_config(config);
  EXPECT_TRUE(access().allowed("admin"));
  config["users"][1]["enabled"] = false;
  home_.core().replace_config(config);
  EXPECT_FALSE(access().allowed("admin"));
}

TEST(DirectoryManagersTest, CountsOnlyUsersWhoCanStillSignIn) {
  Json doc = {{"users",
               {{{"id", "a"}, {"can_manage_users", true}, {"token", "t"}},
                {{"id", "b"}, {"can_manage_users", 1}, {"token", "t"}},
                {{"id", "c"}, {"can_manage_users", true}, {"token", "t"}, {"removed", true}},
                {{"id", "d"}, {"can_manage_users", true}, {"identity_provider", "entra"}}}}};
  EXPECT_EQ(directory_managers(doc), 1u);
  doc["organisation_identity"] = {{"enabled", true}};
  EXPECT_EQ(directory_managers(doc), 2u);
}

}  // namespace
}  // namespace halvenor
