#include "firstrun/installation.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>

#include "base/clock.h"
#include "base/digest.h"
#include "companions/setup/setup_manager.h"
#include "firstrun/choices.h"
#include "firstrun/legal_terms.h"
#include "firstrun/platform_steps.h"
#include "net/certificates.h"
#include "net/private_files.h"
#include "platform/file_descriptor.h"
#include "platform/program_folder.h"
#include "platform/user_account.h"
#include "server/core/core.h"

namespace fs = std::filesystem;

namespace halvenor::firstrun {
namespace {

constexpr char kMarker[] = ".installation-in-progress";
constexpr char kStagingPrefix[] = ".first-install-";
constexpr std::size_t kStagingRandomBytes = 12;
constexpr char kWindowsLauncher[] = "Start-Emergency-Comms.cmd";
constexpr char kShellLauncher[] = "Start-Emergency-Comms.sh";
constexpr char kInstructions[] = "FIRST-INSTALL-INSTRUCTIONS.txt";
constexpr char kSystemdUnit[] = "halvenor-mass-communication.service";
// The launcher that starts the server on this platform; both are written so
// that a folder copied between systems still has one that works.
#ifdef _WIN32
constexpr const char* kLocalLauncher = kWindowsLauncher;
#else
constexpr const char* kLocalLauncher = kShellLauncher;
#endif
constexpr char kCredentialFile[] = "administrator-access.txt";
constexpr char kPublicCa[] = "halvenor-mass-communication-ca.cer";
constexpr std::size_t kMaxCertificateBytes = 1024 * 1024;

constexpr char kStagingFailed[] =
    "Installation did not complete. Existing data was not replaced. If a staging folder remains, keep it private "
    "and choose another clean location to retry. ";
constexpr char kFinishingFailed[] =
    "Core installation completed, but final instructions could not be written. Use "
    "data/deployment/server-settings.json to start. Existing data was preserved.";

// The failure a caller sees; the underlying error stays attached as its cause.
class InstallationFailed : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

[[noreturn]] void fail_errno(const std::string& what, const fs::path& path, int error) {
  throw fs::filesystem_error(what, path, std::error_code(error, std::generic_category()));
}

// --- application files -------------------------------------------------------

const std::set<std::string> kCacheFolders = {"__pycache__", "CMakeFiles", ".cache", ".git"};
const std::set<std::string> kCompiledSuffixes = {".o", ".obj", ".a", ".lib", ".so", ".dll", ".pyc",
                                                 ".pyo", ".pyd", ".gch", ".pch", ".exe"};
const std::set<std::string> kProgramSourceSuffixes = {".cpp", ".h"};
const std::set<std::string> kTopLevelSuffixes = {".ps1", ".cmd", ".sh", ".md", ".txt", ".cpp", ".h"};
const std::set<std::string> kDevelopmentTrees = {"web", "docs", "assets", "tests"};
const std::set<std::string> kPackagedTrees = {"web", "docs", "assets"};
const std::set<std::string> kPackagedExcluded = {".ps1", ".cmd", ".sh", ".cpp", ".h", ".o", ".obj",
                                                 ".so", ".dll", ".pyc", ".pyo", ".pyd"};
// The programs a packaged installation runs, copied beside the data files.
constexpr const char* kPrograms[] = {"server", "firstrun"};

std::vector<fs::path> select_files(const fs::path& source, bool packaged) {
  std::vector<fs::path> out;
  for (auto it = fs::recursive_directory_iterator(source, fs::directory_options::skip_permission_denied);
       it != fs::recursive_directory_iterator(); ++it) {
    if (it->is_directory() && kCacheFolders.count(it->path().filename().string())) {
      it.disable_recursion_pending();
      continue;
    }
    if (!it->is_regular_file()) continue;
    const fs::path relative = it->path().lexically_relative(source);
    const std::string suffix = relative.extension().string();
    if (kCompiledSuffixes.count(suffix)) continue;
    const std::string first = relative.begin()->string();
    const bool top_level = std::next(relative.begin()) == relative.end();
    bool take;
    if (packaged)
      take = !top_level && kPackagedTrees.count(first) && !kPackagedExcluded.count(suffix);
    else
      take = top_level ? kTopLevelSuffixes.count(suffix) > 0 : kDevelopmentTrees.count(first) > 0;
    if (take) out.push_back(it->path());
  }
  if (packaged)
    for (const char* program : kPrograms)
      if (fs::is_regular_file(source / program)) out.push_back(source / program);
  return out;
}

// Same relative path, same permission bits and modification time. Nothing is
// copied onto itself when setup runs from inside the target folder.
void copy_application_file(const fs::path& file, const fs::path& source, const fs::path& folder) {
  const fs::path target = folder / file.lexically_relative(source);
  std::error_code ec;
  if (fs::exists(target, ec) && fs::equivalent(target, file, ec)) return;
  fs::create_directories(target.parent_path());
  fs::copy_file(file, target, fs::copy_options::overwrite_existing);
  fs::permissions(target, fs::status(file).permissions(), fs::perm_options::replace);
  fs::last_write_time(target, fs::last_write_time(file));
}

// --- private data ------------------------------------------------------------

Json initial_configuration(const Json& plan, const std::string& token) {
  Json user = {{"id", plan["account"]},
               {"display_name", plan["name"]},
               {"role", "operator"},
               {"enabled", true},
               {"can_manage_users", true},
               {"can_send_live", true},
               {"can_send_sms", false},
               {"can_send_whatsapp", false},
               {"token", token}};
  return Json{{"mode", "controlled_live"},
              {"provider", "disabled"},
              {"sites", Json::array()},
              {"site_labels", Json::object()},
              {"use_default_departments", false},
              {"departments", Json::array()},
              {"department_labels", Json::object()},
              {"mobile_providers", {{"sms", {{"driver", "disabled"}}}, {"whatsapp", {{"driver", "disabled"}}}}},
              {"live_desktop",
               {{"enabled", true},
                {"deployment_scope", "operational"},
                {"enabled_by_default", true},
                {"assurance_completed", false},
                {"assurance_reference", ""}}},
              {"users", Json::array({user})},
              {"devices", Json::array()},
              {"contacts", Json::array()},
              {"groups", Json::array()}};
}

void make_private_folder(const fs::path& folder) {
  if (::mkdir(folder.c_str(), 0700) != 0) fail_errno("Cannot create folder", folder, errno);
  if (::chmod(folder.c_str(), 0700) != 0) fail_errno("Cannot restrict folder", folder, errno);
}

// The one step that makes the installation exist. It must never replace a
// "data" entry that someone else created, even an empty folder, which a plain
// rename would silently do.
void commit(const fs::path& staging, const fs::path& data) {
  if (::renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, data.c_str(), RENAME_NOREPLACE) == 0) return;
  const int error = errno;
  if (error != EINVAL && error != ENOSYS) fail_errno("Cannot rename the staging folder", staging, error);
  std::error_code ec;
  if (fs::exists(fs::symlink_status(data, ec))) throw std::runtime_error("Data appeared during setup. Nothing will be replaced.");
  fs::rename(staging, data);
}

// Writes a file that must not exist yet; returns false (and writes nothing)
// when it does.
bool write_new_file(const fs::path& path, const std::string& bytes, mode_t mode) {
  platform::FileDescriptor fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode));
  if (!fd.valid()) {
    if (errno == EEXIST) return false;
    fail_errno("Cannot create file", path, errno);
  }
  std::size_t written = 0;
  while (written < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.data() + written, bytes.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) fail_errno("Cannot write file", path, errno);
    written += static_cast<std::size_t>(n);
  }
  if (::fchmod(fd.get(), mode) != 0) fail_errno("Cannot finish file", path, errno);
  if (const int error = fd.close(); error != 0) fail_errno("Cannot finish file", path, error);
  return true;
}

void replace_file(const fs::path& path, const std::string& bytes) {
  std::error_code ec;
  fs::remove(path, ec);
  if (!write_new_file(path, bytes, 0644)) fail_errno("Cannot create file", path, EEXIST);
}

std::string windows_launcher() {
  return "@echo off\r\n"
         "cd /d \"%~dp0\"\r\n"
         "\"%~dp0server.exe\" --settings \"%~dp0data\\deployment\\server-settings.json\"\r\n"
         "if errorlevel 1 pause\r\n";
}

// Run from a terminal, a failing server leaves its message on screen until
// Enter; started by the desktop or by setup, the script becomes the server.
std::string shell_launcher() {
  return "#!/bin/sh\n"
         "cd \"$(dirname \"$0\")\" || exit 1\n"
         "settings=\"$(pwd)/data/deployment/server-settings.json\"\n"
         "if [ -t 0 ]; then\n"
         "  ./server --settings \"$settings\" && exit 0\n"
         "  status=$?\n"
         "  printf 'The server stopped with status %s. Press Enter to close.\\n' \"$status\"\n"
         "  read -r _\n"
         "  exit \"$status\"\n"
         "fi\n"
         "exec ./server --settings \"$settings\"\n";
}

#ifndef _WIN32
// A path inside a unit file: "%" starts a specifier and "$" a variable there,
// and quotes keep a path with spaces one argument.
std::string unit_path(const fs::path& path) {
  std::string text;
  for (char c : path.string()) {
    if (c == '%' || c == '$' || c == '\\') text += c;
    text += c;
  }
  return text;
}

// The same service for the system's manager (started at boot, as the
// installing account) and for that account's own manager. The server stops
// cleanly on SIGTERM, systemd's default; a failure restarts it after a pause
// long enough for a busy port to be released.
std::string systemd_unit(const fs::path& folder, const std::optional<std::string>& user) {
  const std::string settings = unit_path(folder / "data" / "deployment" / "server-settings.json");
  std::string unit =
      "[Unit]\n"
      "Description=Halvenor Mass Communication server\n"
      "After=network-online.target\n"
      "Wants=network-online.target\n"
      "\n"
      "[Service]\n"
      "Type=simple\n";
  if (user) unit += "User=" + *user + "\n";
  unit += "WorkingDirectory=" + unit_path(folder) + "\n" +
          "ExecStart=\"" + unit_path(folder / "server") + "\" --settings \"" + settings + "\"\n" +
          "Restart=on-failure\n"
          "RestartSec=5\n"
          "TimeoutStopSec=30\n"
          "UMask=0077\n"
          "\n"
          "[Install]\n"
          "WantedBy=" + (user ? "multi-user.target" : "default.target") + "\n";
  return unit;
}

void write_systemd_units(const fs::path& folder) {
  const std::string account = platform::user_name();
  for (const bool system : {true, false}) {
    const fs::path unit_folder = folder / "systemd" / (system ? "system" : "user");
    fs::create_directories(unit_folder);
    std::optional<std::string> user;
    if (system) user = account.empty() ? std::string("root") : account;
    write_new_file(unit_folder / kSystemdUnit, systemd_unit(folder, user), 0644);
  }
}
#endif

std::string instructions(const std::string& url) {
  return "Dashboard: " + url +
         "\n"
         "\n"
         "1. Keep data/administrator-access.txt private; it contains your sign-in token.\n"
         "2. Ask IT to trust data/halvenor-mass-communication-ca.cer on dashboard PCs.\n"
         "3. Start " + std::string(kLocalLauncher) + ", then open the dashboard URL.\n"
         "4. In Administration enrol each receiving PC and download its installer.\n"
         "5. IT must permit the chosen HTTPS port and make the hostname resolve to this server.\n"
         "6. A local CA was generated. IT-issued certificates can be imported later.\n"
         "SMS/WhatsApp remain disconnected. New receiving PCs require separate live opt-in.\n";
}

std::string staging_name() {
  unsigned char bytes[kStagingRandomBytes];
  system_random()->fill(bytes, sizeof bytes);
  return kStagingPrefix + hex_lower(std::string_view(reinterpret_cast<char*>(bytes), sizeof bytes));
}

// Builds the private data inside `staging`; returns the settings plan with
// its paths already pointing into the committed "data" folder.
Json build_private_data(const Json& plan, const Json& values, const fs::path& folder, const fs::path& staging,
                        const fs::path& legal_folder) {
  make_private_folder(staging);
  protect_private_folder(staging);
  const std::string account = plan["account"].get<std::string>();
  const std::string token = random_token(*system_random(), 32);
  Json config = initial_configuration(plan, token);
  setup::private_write(staging / "config.json", json::indented(config));
  setup::private_write(staging / kCredentialFile,
                       "Account: " + account + "\nAccess token: " + token + "\nKeep this credential private.\n");

  Json settings_plan;
  {
    auto core = std::make_unique<Core>(config, (staging / "core.sqlite3").string());
    SetupSettings settings;
    settings.bind = plan["bind"].get<std::string>();
    settings.port = plan["port"].get<int>();
    settings.url = "";
    // The settings plan names staging/config.json, which is where the
    // service's access administration will find it too.
    auto manager = std::make_unique<SetupManager>(*core, nullptr, folder, settings, staging);
    manager->save(account, plan);
    manager->issue(account);
    settings_plan = manager->plan();

    const fs::path ca = fs::path(settings_plan["cert"].get<std::string>()).parent_path() / "ca.cer";
    setup::X509Ptr certificate = setup::cert_load(setup::read_file(ca, kMaxCertificateBytes));
    setup::private_write(staging / kPublicCa, setup::der(certificate.get()));

    for (const char* key : {"config", "db", "cert", "key"}) {
      const fs::path path = fs::path(settings_plan[key].get<std::string>()).lexically_normal();
      const fs::path relative = path.lexically_relative(staging);
      if (relative.empty() || *relative.begin() == "..")
        throw std::runtime_error("The settings plan names a file outside the staging folder: " + path.string());
      settings_plan[key] = (folder / "data" / relative).string();
    }
    manager->write_plan(settings_plan);
    // Nothing inside the staging folder may stay open across the rename.
    manager.reset();
    core.reset();
  }
  legal::record(legal_folder, staging, values.value("legal_acceptance", Json()), "server-installation");
  return settings_plan;
}

Json finish(const fs::path& folder, const std::string& url, const std::string& account) {
  write_new_file(folder / kWindowsLauncher, windows_launcher(), 0644);
  write_new_file(folder / kShellLauncher, shell_launcher(), 0755);
#ifndef _WIN32
  write_systemd_units(folder);
#endif
  replace_file(folder / kInstructions, instructions(url));
  return Json{{"folder", folder.string()},
              {"url", url},
              {"account", account},
              {"credential_file", (folder / "data" / kCredentialFile).string()},
              {"public_ca", (folder / "data" / kPublicCa).string()},
              {"launcher", (folder / kLocalLauncher).string()}};
}

}  // namespace

namespace detail {

bool packaged_layout(const fs::path& source) {
  return fs::is_regular_file(source / "server") && !fs::exists(source / "CMakeLists.txt");
}

Json install(const Json& values, const fs::path& source_argument, const InstallHooks& hooks) {
  const fs::path legal_folder = source_argument / "docs" / "legal";
  legal::validate(legal_folder, values.is_object() ? values.value("legal_acceptance", Json()) : Json());
  const Json plan = validate(values);
  const fs::path folder = plan["folder"].get<std::string>();
  // Before anything is written: a port that is taken now would leave a
  // committed installation whose server cannot start.
  check_can_listen(plan["bind"].get<std::string>(), plan["port"].get<long long>());

  const fs::path source = fs::weakly_canonical(fs::absolute(source_argument));
  const bool packaged = packaged_layout(source);
  const std::vector<fs::path> files = select_files(source, packaged);

  fs::create_directories(folder);
  if (packaged) protect_private_folder(folder);
  const fs::path marker = folder / kMarker;
  if (::mkdir(marker.c_str(), 0700) != 0) fail_errno("Cannot start the installation", marker, errno);
  const fs::path staging = folder / staging_name();

  Json result;
  std::exception_ptr failure;
  try {
    Json settings_plan;
    try {
      if (hooks.before_data_check) hooks.before_data_check(folder);
      std::error_code ec;
      if (fs::exists(fs::symlink_status(folder / "data", ec)))
        throw std::runtime_error("Data appeared during setup. Nothing will be replaced.");
      for (const fs::path& file : files) copy_application_file(file, source, folder);
      settings_plan = build_private_data(plan, values, folder, staging, legal_folder);
      if (hooks.before_commit) hooks.before_commit(folder);
      commit(staging, folder / "data");
    } catch (const std::exception& e) {
      std::throw_with_nested(InstallationFailed(std::string(kStagingFailed) + e.what()));
    }
    try {
      result = finish(folder, settings_plan["url"].get<std::string>(), plan["account"].get<std::string>());
    } catch (const std::exception&) {
      std::throw_with_nested(InstallationFailed(kFinishingFailed));
    }
  } catch (...) {
    failure = std::current_exception();
  }
  fs::remove(marker);
  if (failure) std::rethrow_exception(failure);
  return result;
}

}  // namespace detail

Json install(const Json& values, const fs::path& source) { return detail::install(values, source, {}); }

fs::path source_folder() { return platform::program_folder(); }

}  // namespace halvenor::firstrun
