// The first install end to end: what it writes and with which modes and
// bytes, the installed server starting from its settings file and accepting
// the Administrator's credential, and the failures that must leave existing
// data alone.
#include <signal.h>

#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "base/errors.h"
#include "firstrun/installation.h"
#include "firstrun/legal_terms.h"
#include "firstrun/service_probe.h"
#include "net/certificates.h"
#include "tests/firstrun/firstrun_test_support.h"
#include "tests/process/process_support.h"
#include "tests/support/temp_folder.h"

namespace halvenor::firstrun {
namespace {

namespace fs = std::filesystem;
using firstrun_test::message_of;
using firstrun_test::mode_of;
using firstrun_test::read_all;

constexpr char kStagingFailed[] =
    "Installation did not complete. Existing data was not replaced. If a staging folder remains, keep it private "
    "and choose another clean location to retry. ";
constexpr char kDataAppeared[] = "Data appeared during setup. Nothing will be replaced.";
constexpr char kExisting[] =
    "This location already has data or certificates. Choose a clean folder. Existing installations must use the "
    "update process.";

std::vector<std::string> entries_starting(const fs::path& folder, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind(prefix, 0) == 0) out.push_back(name);
  }
  return out;
}

class Installation : public ::testing::Test {
 protected:
  void SetUp() override {
    base = fs::weakly_canonical(temp.path());
    source = firstrun_test::packaged_source(base);
    target = base / "site" / "install";
    values = firstrun_test::good_values(target);
    values["legal_acceptance"] = legal::agreement(source / "docs" / "legal", true);
  }
  test_support::TempFolder temp;
  fs::path base, source, target;
  Json values;
};

TEST_F(Installation, WritesTheInstallationAndTheServerAcceptsTheCredential) {
  const int port = testing::free_port();
  values["port"] = std::to_string(port);
  values["name"] = "\u00c5sa \U0001F6A8";
  const Json result = install(values, source);

  // The result, keys in order.
  std::vector<std::string> keys;
  for (const auto& [key, value] : result.items()) keys.push_back(key);
  EXPECT_EQ(keys, (std::vector<std::string>{"folder", "url", "account", "credential_file", "public_ca", "launcher"}));
  EXPECT_EQ(result["folder"], target.string());
  EXPECT_EQ(result["url"], "https://localhost:" + std::to_string(port));
  EXPECT_EQ(result["credential_file"], (target / "data" / "administrator-access.txt").string());
  EXPECT_EQ(result["public_ca"], (target / "data" / "halvenor-mass-communication-ca.cer").string());
  EXPECT_EQ(result["launcher"], (target / "Start-Emergency-Comms.sh").string());

  // Private data: folder and secrets owner-only; no marker or staging left.
  const fs::path data = target / "data";
  EXPECT_EQ(mode_of(data), 0700u);
  EXPECT_EQ(mode_of(data / "config.json"), 0600u);
  EXPECT_EQ(mode_of(data / "administrator-access.txt"), 0600u);
  EXPECT_TRUE(fs::exists(data / "core.sqlite3"));
  EXPECT_FALSE(fs::exists(target / ".installation-in-progress"));
  EXPECT_TRUE(entries_starting(target, ".first-install-").empty());

  // config.json: indented, ASCII-escaped, no final line break.
  const std::string config_text = read_all(data / "config.json");
  EXPECT_EQ(config_text.rfind("{\n  \"mode\": \"controlled_live\",\n  \"provider\": \"disabled\",\n  \"sites\": [],\n"
                              "  \"site_labels\": {},\n  \"use_default_departments\": false,\n",
                              0),
            0u)
      << config_text;
  EXPECT_NE(config_text.find("\"display_name\": \"\\u00c5sa \\ud83d\\udea8\""), std::string::npos) << config_text;
  for (unsigned char c : config_text) ASSERT_LT(c, 0x80);
  EXPECT_EQ(config_text.back(), '}');
  const Json config = Json::parse(config_text);
  std::vector<std::string> config_keys;
  for (const auto& [key, value] : config.items()) config_keys.push_back(key);
  EXPECT_EQ(config_keys, (std::vector<std::string>{"mode", "provider", "sites", "site_labels",
                                                   "use_default_departments", "departments", "department_labels",
                                                   "mobile_providers", "live_desktop", "users", "devices", "contacts",
                                                   "groups"}));
  const Json& user = config["users"][0];
  EXPECT_EQ(user["id"], "Administrator");
  EXPECT_EQ(user["can_manage_users"], true);
  EXPECT_EQ(user["can_send_sms"], false);
  const std::string token = user["token"];

  // The credential file: the account and the token, nothing else.
  const std::string credential = read_all(data / "administrator-access.txt");
  std::smatch match;
  ASSERT_TRUE(std::regex_match(credential, match,
                               std::regex("Account: Administrator\nAccess token: ([A-Za-z0-9_-]{43})\n"
                                          "Keep this credential private\\.\n")))
      << credential;
  EXPECT_EQ(match[1], token);

  // Settings file paths point into data/; the public CA is the DER of ca.cer.
  const fs::path settings_file = data / "deployment" / "server-settings.json";
  const Json settings = Json::parse(read_all(settings_file));
  for (const char* key : {"config", "db", "cert", "key"}) {
    const fs::path path = settings[key].get<std::string>();
    EXPECT_EQ(path.string().rfind(data.string() + "/", 0), 0u) << key << " " << path;
    EXPECT_TRUE(fs::exists(path)) << path;
  }
  const fs::path ca_file = fs::path(settings["cert"].get<std::string>()).parent_path() / "ca.cer";
  EXPECT_EQ(read_all(data / "halvenor-mass-communication-ca.cer"),
            setup::der(setup::cert_load(read_all(ca_file)).get()));
  EXPECT_EQ(Json::parse(read_all(data / "legal-acceptance.json"))["kind"], "server-installation");

  // Start scripts and instructions.
  EXPECT_EQ(read_all(target / "Start-Emergency-Comms.cmd"),
            "@echo off\r\ncd /d \"%~dp0\"\r\n\"%~dp0server.exe\" --settings "
            "\"%~dp0data\\deployment\\server-settings.json\"\r\nif errorlevel 1 pause\r\n");
  EXPECT_EQ(mode_of(target / "Start-Emergency-Comms.sh"), 0755u);
  EXPECT_EQ(read_all(target / "Start-Emergency-Comms.sh").rfind("#!/bin/sh\n", 0), 0u);
  EXPECT_EQ(read_all(target / "FIRST-INSTALL-INSTRUCTIONS.txt"),
            "Dashboard: https://localhost:" + std::to_string(port) +
                "\n\n"
                "1. Keep data/administrator-access.txt private; it contains your sign-in token.\n"
                "2. Ask IT to trust data/halvenor-mass-communication-ca.cer on dashboard PCs.\n"
                "3. Start Start-Emergency-Comms.sh, then open the dashboard URL.\n"
                "4. In Administration enrol each receiving PC and download its installer.\n"
                "5. IT must permit the chosen HTTPS port and make the hostname resolve to this server.\n"
                "6. A local CA was generated. IT-issued certificates can be imported later.\n"
                "SMS/WhatsApp remain disconnected. New receiving PCs require separate live opt-in.\n");

  // Packaged mode copies the programs and the data files only.
  EXPECT_EQ(mode_of(target / "server"), mode_of(source / "server"));
  EXPECT_TRUE(fs::exists(target / "firstrun"));
  EXPECT_TRUE(fs::exists(target / "web" / "index.html"));
  EXPECT_TRUE(fs::exists(target / "docs" / "legal" / "LICENCE-TERMS.txt"));
  EXPECT_EQ(fs::last_write_time(target / "web" / "index.html"), fs::last_write_time(source / "web" / "index.html"));
  EXPECT_FALSE(fs::exists(target / "web" / "helper.sh"));
  EXPECT_FALSE(fs::exists(target / "docs" / "notes.cpp"));
  EXPECT_FALSE(fs::exists(target / "README-package.txt"));

  // The installed server starts from its settings file; the credential signs in.
  testing::ChildProcess server({(target / "server").string(), "--settings", settings_file.string()});
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(server.read_line()) << server.error_text();
  const std::string host = "localhost:" + std::to_string(port);
  auto state = [&](const std::string& bearer) {
    return testing::https_exchange(
        port, testing::raw_request("GET", "/api/state", {{"Host", host}, {"Authorization", "Bearer " + bearer}}),
        ca_file, "localhost");
  };
  EXPECT_EQ(state(token).status, 200);
  EXPECT_EQ(state(token + "x").status, 401);

  // The finisher's readiness check accepts only this installation's server.
  std::string why;
  EXPECT_TRUE(ServiceProbe(settings, ca_file).answers(why)) << why;
  Json other_name = settings;
  other_name["hostname"] = "alerts.example";
  EXPECT_FALSE(ServiceProbe(other_name, ca_file).answers(why));
  EXPECT_NE(why.find("certificate"), std::string::npos) << why;
  const fs::path foreign_ca = base / "foreign.pem";
  auto foreign_key = setup::generate_ec_p256_key();
  std::ofstream(foreign_ca) << setup::pem(setup::make_ca(foreign_key.get(), "Foreign", 1.7e9).get());
  EXPECT_FALSE(ServiceProbe(settings, foreign_ca).answers(why));

  // A second installation into the same folder is refused before writing.
  const std::string before = read_all(data / "administrator-access.txt");
  EXPECT_EQ(message_of([&] { install(values, source); }), kExisting);
  EXPECT_EQ(read_all(data / "administrator-access.txt"), before);
}

// The system unit's ExecStart, run as systemd would run it, serves with the
// installation's settings and ends with status 0 on systemd's stop signal.
TEST_F(Installation, SystemdUnitStartsTheServerWithItsSettingsAndStopsCleanly) {
  target = base / "site 50%" / "install";
  values = firstrun_test::good_values(target);
  values["legal_acceptance"] = legal::agreement(source / "docs" / "legal", true);
  values["port"] = std::to_string(testing::free_port());
  install(values, source);
  EXPECT_TRUE(fs::exists(target / "systemd" / "user" / "halvenor-mass-communication.service"));
  const std::string unit = read_all(target / "systemd" / "system" / "halvenor-mass-communication.service");
  std::smatch exec;
  ASSERT_TRUE(std::regex_search(unit, exec, std::regex("\nExecStart=(.*)\n"))) << unit;
  EXPECT_NE(unit.find("\nRestart=on-failure\n"), std::string::npos) << unit;

  // systemd's quoting: "..." groups an argument, %% is one %.
  std::vector<std::string> argv;
  const std::string line = exec[1];
  for (std::size_t i = 0; i < line.size();) {
    if (line[i] == ' ') {
      ++i;
      continue;
    }
    std::string arg;
    const bool quoted = line[i] == '"';
    if (quoted) ++i;
    for (; i < line.size() && (quoted ? line[i] != '"' : line[i] != ' '); ++i) {
      if (line[i] == '%' && i + 1 < line.size() && line[i + 1] == '%') ++i;
      arg += line[i];
    }
    if (quoted) ++i;
    argv.push_back(arg);
  }
  ASSERT_EQ(argv.size(), 3u) << line;
  EXPECT_EQ(argv[2], (target / "data" / "deployment" / "server-settings.json").string());

  testing::ChildProcess server(argv);
  std::optional<std::string> first = server.read_line();
  ASSERT_TRUE(first) << server.error_text();
  server.send_signal(SIGTERM);
  EXPECT_EQ(server.wait_exit(), 0) << server.error_text();
}

TEST_F(Installation, DataAppearingAfterValidationStopsIt) {
  detail::InstallHooks hooks;
  hooks.before_data_check = [](const fs::path& folder) { fs::create_directory(folder / "data"); };
  EXPECT_EQ(message_of([&] { detail::install(values, source, hooks); }), std::string(kStagingFailed) + kDataAppeared);
  EXPECT_TRUE(fs::is_empty(target / "data"));
  EXPECT_FALSE(fs::exists(target / ".installation-in-progress"));
  EXPECT_TRUE(entries_starting(target, ".first-install-").empty());
  EXPECT_FALSE(fs::exists(target / "FIRST-INSTALL-INSTRUCTIONS.txt"));
}

TEST_F(Installation, CommitNeverReplacesAnEmptyDataFolder) {
  detail::InstallHooks hooks;
  hooks.before_commit = [](const fs::path& folder) { fs::create_directory(folder / "data"); };
  const std::string message = message_of([&] { detail::install(values, source, hooks); });
  EXPECT_EQ(message.rfind(kStagingFailed, 0), 0u) << message;
  EXPECT_TRUE(fs::is_empty(target / "data"));
  // The complete staging folder stays, private, for the operator to deal with.
  const auto staging = entries_starting(target, ".first-install-");
  ASSERT_EQ(staging.size(), 1u);
  EXPECT_TRUE(std::regex_match(staging[0], std::regex("\\.first-install-[0-9a-f]{24}")));
  EXPECT_EQ(mode_of(target / staging[0]), 0700u);
  EXPECT_TRUE(fs::exists(target / staging[0] / "config.json"));
  EXPECT_FALSE(fs::exists(target / ".installation-in-progress"));
}

TEST_F(Installation, FailureBeforeCommitAllowsARetryIntoTheSameFolder) {
  detail::InstallHooks hooks;
  hooks.before_commit = [](const fs::path&) { throw std::runtime_error("disk pulled"); };
  try {
    detail::install(values, source, hooks);
    FAIL() << "the installation succeeded";
  } catch (const std::exception& e) {
    EXPECT_EQ(e.what(), std::string(kStagingFailed) + "disk pulled");
    // The underlying error stays attached as the cause.
    EXPECT_EQ(message_of([&] { std::rethrow_if_nested(e); }), "disk pulled");
  }
  EXPECT_FALSE(fs::exists(target / "data"));

  // An existing start script stays as it is; the instructions are rewritten.
  std::ofstream(target / "Start-Emergency-Comms.cmd") << "custom launcher";
  std::ofstream(target / "FIRST-INSTALL-INSTRUCTIONS.txt") << "old";
  install(values, source);
  EXPECT_TRUE(fs::is_directory(target / "data"));
  EXPECT_EQ(entries_starting(target, ".first-install-").size(), 1u);  // the failed run's, kept
  EXPECT_EQ(read_all(target / "Start-Emergency-Comms.cmd"), "custom launcher");
  EXPECT_EQ(read_all(target / "FIRST-INSTALL-INSTRUCTIONS.txt").rfind("Dashboard: https://localhost:8765\n", 0), 0u);
}

TEST_F(Installation, MarkerFolderLocksOutASecondInstaller) {
  fs::create_directories(target / ".installation-in-progress");
  EXPECT_NE(message_of([&] { install(values, source); }), "");
  EXPECT_TRUE(fs::exists(target / ".installation-in-progress"));
  EXPECT_FALSE(fs::exists(target / "data"));
  EXPECT_FALSE(fs::exists(target / "web"));
  EXPECT_TRUE(entries_starting(target, ".first-install-").empty());
}

TEST_F(Installation, RefusalsBeforeAnythingIsWritten) {
  Json unsigned_values = values;
  unsigned_values.erase("legal_acceptance");
  EXPECT_EQ(message_of([&] { install(unsigned_values, source); }), "Read and agree to the licence terms to continue.");
  Json bad_port = values;
  bad_port["port"] = "0";
  EXPECT_EQ(message_of([&] { install(bad_port, source); }), "Port must be between 1 and 65535.");
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(Installation, RunFromInsideTheTargetCopiesNothingOntoItself) {
  const std::string index = read_all(source / "web" / "index.html");
  values["folder"] = source.string();
  install(values, source);
  EXPECT_EQ(read_all(source / "web" / "index.html"), index);
  EXPECT_TRUE(fs::is_directory(source / "data"));
}

TEST_F(Installation, DevelopmentLayoutSelectsScriptsDocumentsAndTrees) {
  const fs::path tree = base / "tree";
  fs::create_directories(tree / "web" / "__pycache__");
  fs::create_directories(tree / "tests" / "unit");
  fs::create_directories(tree / "server" / "core");
  fs::copy(source / "docs", tree / "docs", fs::copy_options::recursive);
  for (const char* file : {"CMakeLists.txt", "README.md", "run.sh", "setup.cmd", "tool.cpp", "tool.o", "web/session.js", "web/__pycache__/x.txt", "tests/unit/a_test.cpp", "server/core/core.cpp"})
    std::ofstream(tree / file) << file;
  values["legal_acceptance"] = legal::agreement(tree / "docs" / "legal", true);
  install(values, tree);
  for (const char* copied : {"CMakeLists.txt", "README.md", "run.sh", "setup.cmd", "tool.cpp", "web/session.js",
                             "tests/unit/a_test.cpp", "docs/legal/LICENCE-TERMS.txt"})
    EXPECT_TRUE(fs::exists(target / copied)) << copied;
  for (const char* skipped : {"tool.o", "web/__pycache__/x.txt", "server/core/core.cpp"})
    EXPECT_FALSE(fs::exists(target / skipped)) << skipped;
}

}  // namespace
}  // namespace halvenor::firstrun
