// The installation choices: every rule of the full check and of the step-1
// check, their boundaries, their order and their exact messages.
#include <gtest/gtest.h>

#include <fstream>

#include "firstrun/choices.h"
#include "tests/firstrun/firstrun_test_support.h"
#include "tests/support/temp_folder.h"

namespace halvenor::firstrun {
namespace {

namespace fs = std::filesystem;
using firstrun_test::good_values;
using firstrun_test::message_of;

constexpr char kPortRange[] = "Port must be between 1 and 65535.";
constexpr char kStepPortRange[] = "HTTPS port must be 1\u201365535.";
constexpr char kAccount[] = "Administrator ID: use 3\u201364 letters, numbers, hyphens or underscores.";
constexpr char kName[] = "Enter an Administrator name up to 100 characters.";
constexpr char kApproval[] = "Approval reference must be up to 200 characters.";
constexpr char kNoFolder[] = "Choose an application folder.";
constexpr char kRoot[] = "Choose an application folder, not a drive root.";
constexpr char kExisting[] =
    "This location already has data or certificates. Choose a clean folder. Existing installations must use the "
    "update process.";
constexpr char kStepExisting[] =
    "Existing data/certificates found. Choose a clean folder; use the update process for an existing installation.";

class Choices : public ::testing::Test {
 protected:
  Json with(const char* key, const Json& value) const {
    Json values = good_values(folder.path() / "install");
    values[key] = value;
    return values;
  }
  std::string full(const Json& values) const { return message_of([&] { validate(values); }); }
  std::string step(const Json& values) const { return message_of([&] { check_server_settings(values); }); }

  test_support::TempFolder folder;
};

TEST_F(Choices, PlanHoldsNormalisedValuesInOrder) {
  Json values = good_values(folder.path() / "a" / ".." / "install");
  values["hostname"] = "  Alerts.Hospital.Example. ";
  values["bind"] = " 0:0:0:0:0:0:0:0 ";
  values["port"] = " 8765 ";
  values["account"] = "  ops_admin-1  ";
  values["name"] = " Åsa Ödegård ";
  values["approval"] = " CHG-42 ";
  const Json plan = validate(values);
  std::vector<std::string> keys;
  for (const auto& [key, value] : plan.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"folder", "hostname", "bind", "port", "account", "name", "approval"}));
  EXPECT_EQ(plan["folder"], (fs::weakly_canonical(folder.path()) / "install").string());
  EXPECT_EQ(plan["hostname"], "alerts.hospital.example");
  EXPECT_EQ(plan["bind"], "::");
  EXPECT_EQ(plan["port"], 8765);
  EXPECT_EQ(plan["account"], "ops_admin-1");
  EXPECT_EQ(plan["name"], "Åsa Ödegård");
  EXPECT_EQ(plan["approval"], "CHG-42");
  EXPECT_EQ(validate(good_values(folder.path() / "x"))["approval"], "");
}

TEST_F(Choices, PortBoundariesInBothChecks) {
  for (const char* port : {"0", "65536", "-1", "99999999999999999999"}) {
    EXPECT_EQ(full(with("port", port)), kPortRange) << port;
    EXPECT_EQ(step(with("port", port)), kStepPortRange) << port;
  }
  for (const char* port : {"1", "65535", " 8765 "}) {
    EXPECT_EQ(full(with("port", port)), "") << port;
    EXPECT_EQ(step(with("port", port)), "") << port;
  }
  EXPECT_EQ(validate(with("port", " 443 "))["port"], 443);
  for (const char* port : {"", "abc", "80x", "8 765", "1.5"}) {
    const std::string message = full(with("port", port));
    EXPECT_NE(message, "") << port;
    EXPECT_NE(message, kPortRange) << port;
  }
}

TEST_F(Choices, AccountIdentifierRules) {
  const std::string max(64, 'a');
  for (const std::string& ok : {std::string("abc"), max, std::string("  Admin_2  "), std::string("9-lives")})
    EXPECT_EQ(full(with("account", ok)), "") << ok;
  for (const std::string& bad : {std::string("ab"), max + "b", std::string("-admin"), std::string("_admin"),
                                 std::string("ad.min"), std::string("adminé"), std::string("ad min"), std::string("")})
    EXPECT_EQ(full(with("account", bad)), kAccount) << bad;
}

TEST_F(Choices, DisplayNameRules) {
  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += "é";  // characters, not bytes, are counted
  EXPECT_EQ(full(with("name", hundred)), "");
  EXPECT_EQ(full(with("name", hundred + "e")), kName);
  EXPECT_EQ(full(with("name", "Night\tShift")), kName);
  EXPECT_EQ(full(with("name", "     ")), kName);
  EXPECT_EQ(full(with("name", "Caf\u00e9 \x7f")), "");  // 127 and above are allowed
}

TEST_F(Choices, ApprovalReferenceLength) {
  EXPECT_EQ(full(with("approval", std::string(200, 'r'))), "");
  EXPECT_EQ(full(with("approval", std::string(201, 'r'))), kApproval);
  EXPECT_EQ(full(with("approval", "  " + std::string(200, 'r') + "  ")), "");
}

TEST_F(Choices, FolderTextRules) {
  EXPECT_EQ(full(with("folder", "   ")), kNoFolder);
  EXPECT_EQ(full(with("folder", Json())), kNoFolder);
  Json absent = good_values(folder.path());
  absent.erase("folder");
  EXPECT_EQ(full(absent), kNoFolder);
  EXPECT_EQ(step(with("folder", "  ")), kNoFolder);

  for (const char* root : {"/", "/..", "//"}) {
    EXPECT_EQ(full(with("folder", root)), kRoot) << root;
    EXPECT_EQ(step(with("folder", root)), kRoot) << root;
  }
  EXPECT_EQ(full(with("folder", (folder.path() / "a\"b").string())), kRoot);
  EXPECT_EQ(full(with("folder", (folder.path() / "a\nb").string())), kRoot);
  EXPECT_EQ(step(with("folder", (folder.path() / "a\rb").string())), kRoot);
}

TEST_F(Choices, FolderResolution) {
  const fs::path base = fs::weakly_canonical(folder.path());
  fs::create_directories(base / "real");
  fs::create_directory_symlink(base / "real", base / "link");
  EXPECT_EQ(resolve_folder((base / "link" / "new").string()), base / "real" / "new");
  EXPECT_EQ(resolve_folder((base / "real" / "." / ".." / "x" / "").string()), base / "x");
  // A leading space is part of the name: the typed text is not trimmed.
  EXPECT_EQ(resolve_folder((base / " spaced").string()).filename(), " spaced");

  const fs::path previous = fs::current_path();
  fs::current_path(base);
  EXPECT_EQ(resolve_folder("relative/f"), base / "relative" / "f");
  fs::current_path(previous);

  const char* home = std::getenv("HOME");
  ASSERT_NE(home, nullptr);
  EXPECT_EQ(resolve_folder("~/Halvenor"), fs::weakly_canonical(fs::path(home)) / "Halvenor");
  // Another account's home comes from the password database.
  EXPECT_EQ(resolve_folder("~root/Halvenor"), fs::weakly_canonical("/root") / "Halvenor");
}

TEST_F(Choices, ExistingDataOrCertificatesBlock) {
  const fs::path target = folder.path() / "install";
  fs::create_directories(target / "certs");
  EXPECT_EQ(full(with("folder", target.string())), "");  // an empty certs folder is fine
  std::ofstream(target / "certs" / "old.cer") << "x";
  EXPECT_EQ(full(with("folder", target.string())), kExisting);
  EXPECT_EQ(step(with("folder", target.string())), kStepExisting);
  fs::remove_all(target / "certs");

  std::ofstream(target / "data") << "a file named data";
  EXPECT_EQ(full(with("folder", target.string())), kExisting);
  fs::remove(target / "data");
  fs::create_directory(target / "data");
  EXPECT_EQ(step(with("folder", target.string())), kStepExisting);
}

TEST_F(Choices, BindAddresses) {
  for (const char* bind : {"0.0.0.0", "127.0.0.1", "::"}) EXPECT_EQ(full(with("bind", bind)), "") << bind;
  const std::string message = full(with("bind", "localhost"));
  EXPECT_NE(message.find("localhost"), std::string::npos) << message;
  EXPECT_EQ(step(with("bind", "localhost")), message);
}

TEST_F(Choices, FirstFailingRuleIsReported) {
  Json values = with("hostname", "not a host");
  values["port"] = "0";
  values["account"] = "x";
  const std::string host_message = full(values);
  EXPECT_NE(host_message, kPortRange);
  EXPECT_EQ(host_message, full(with("hostname", "not a host")));

  values = with("port", "0");
  values["account"] = "x";
  values["folder"] = "/";
  EXPECT_EQ(full(values), kPortRange);
  EXPECT_EQ(step(values), kStepPortRange);

  values = with("account", "x");
  values["name"] = "";
  EXPECT_EQ(full(values), kAccount);
  // The step-1 check does not look at the Administrator fields.
  EXPECT_EQ(step(values), "");
}

TEST_F(Choices, DefaultsAndFields) {
  const Json defaults = default_choices();
  std::vector<std::string> keys;
  for (const ChoiceField& field : choice_fields()) {
    keys.push_back(field.key);
    EXPECT_TRUE(defaults.contains(field.key)) << field.key;
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"folder", "hostname", "bind", "port", "account", "name"}));
  EXPECT_EQ(fs::path(defaults["folder"].get<std::string>()).filename(), "Halvenor-Mass-Communication");
  // The defaults other than the folder pass the step-1 check as they are.
  Json values = defaults;
  values["folder"] = (folder.path() / "fresh").string();
  EXPECT_EQ(step(values), "");
}

}  // namespace
}  // namespace halvenor::firstrun
