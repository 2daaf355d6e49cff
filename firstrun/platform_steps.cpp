#include "firstrun/platform_steps.h"

#include <cstdlib>
#include <fstream>
#include <system_error>

#include "platform/hidden_process.h"

namespace fs = std::filesystem;

namespace halvenor::firstrun {
namespace {

constexpr auto kToolTimeout = std::chrono::seconds(20);
constexpr char kServerLauncher[] = "Halvenor Mass Communication Server.desktop";
constexpr char kDashboardLauncher[] = "Halvenor Mass Communication Dashboard.desktop";
constexpr char kChromium[] = "/usr/bin/chromium";

std::string home_folder() {
  const char* home = std::getenv("HOME");
  if (!home || !*home) throw std::runtime_error("Cannot find the home folder for desktop shortcuts.");
  return home;
}

fs::path desktop_folder() {
  if (!platform::find_program("xdg-user-dir").empty()) {
    try {
      std::string out = platform::run_hidden({"xdg-user-dir", "DESKTOP"}, kToolTimeout).output;
      while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
      if (!out.empty() && out.front() == '/') return out;
    } catch (const platform::ProcessError&) {
      // Falls back to the conventional folder below.
    }
  }
  return fs::path(home_folder()) / "Desktop";
}

// Desktop entry values are not shell text, but Exec arguments are quoted and
// escaped by the desktop entry format's own rules.
std::string exec_argument(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '`' || c == '$' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Desktops only run launchers that are executable.
void write_launcher(const fs::path& file, const std::string& text) {
  const fs::path temporary = file.string() + ".tmp";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) throw std::runtime_error("Cannot write desktop shortcut " + file.string());
  }
  fs::permissions(temporary, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                 fs::perms::others_read | fs::perms::others_exec,
                  fs::perm_options::replace);
  fs::rename(temporary, file);
}

// The first of the installation's icon files that exists, as an Icon line.
std::string icon_line(const fs::path& folder, std::initializer_list<const char*> names) {
  std::error_code ec;
  for (const char* name : names)
    if (fs::exists(folder / "assets" / name, ec)) return "Icon=" + (folder / "assets" / name).string() + "\n";
  return {};
}

std::string server_entry(const fs::path& folder) {
  const fs::path script = folder / "Start-Emergency-Comms.sh";
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Halvenor Mass Communication Server\n"
         "Exec=" + exec_argument(script.string()) + "\n"
         "Path=" + folder.string() + "\n"
         + icon_line(folder, {"halvenor-communications-server.png", "halvenor-communications-dashboard.png"}) +
         "Terminal=true\n";
}

std::string dashboard_entry(const fs::path& folder, const std::string& url) {
  std::error_code ec;
  const std::string command = fs::exists(kChromium, ec) ? std::string(kChromium) + " " + exec_argument("--app=" + url)
                                                        : "xdg-open " + exec_argument(url);
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Halvenor Mass Communication Dashboard\n"
         "Comment=Open Halvenor Mass Communication Dashboard\n"
         "Exec=" + command + "\n"
         "Path=" + folder.string() + "\n"
         + icon_line(folder, {"halvenor-communications-dashboard.png"}) +
         "Terminal=false\n";
}

}  // namespace

void protect_private_folder(const fs::path& folder) {
#ifdef _WIN32
  // Restricting the access-control list needs the account's identifier from
  // PowerShell and icacls; this build leaves NTFS inheritance unchanged.
  (void)folder;
#else
  // POSIX modes (0700, set where the folder is created) already restrict it.
  (void)folder;
#endif
}

void shortcuts(const Json& result, bool replace_dashboard) {
  const fs::path folder = result.at("folder").get<std::string>();
  const std::string url = result.at("url").get<std::string>();
  const fs::path desktop = desktop_folder();
  fs::create_directories(desktop);
  std::error_code ec;
  if (!fs::exists(fs::symlink_status(desktop / kServerLauncher, ec)))
    write_launcher(desktop / kServerLauncher, server_entry(folder));
  if (replace_dashboard || !fs::exists(fs::symlink_status(desktop / kDashboardLauncher, ec)))
    write_launcher(desktop / kDashboardLauncher, dashboard_entry(folder, url));
}

}  // namespace halvenor::firstrun
