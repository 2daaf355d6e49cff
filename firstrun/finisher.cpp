#include "firstrun/finisher.h"

#include <chrono>
#include <cstdlib>
#include <optional>
#include <thread>

#include "base/errors.h"
#include "firstrun/certificate_trust.h"
#include "firstrun/service_probe.h"
#include "net/private_files.h"
#include "platform/hidden_process.h"

namespace fs = std::filesystem;

namespace halvenor::firstrun {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr auto kPollInterval = std::chrono::milliseconds(250);
constexpr std::size_t kMaxSettingsBytes = 1024 * 1024;
constexpr std::size_t kMaxLogTailBytes = 64 * 1024;
constexpr char kChromium[] = "/usr/bin/chromium";

// Output goes nowhere: a browser's chatter is no part of setup.
void open_detached(const std::vector<std::string>& argv) {
  try {
    platform::start_detached(argv);
  } catch (const platform::ProcessError& e) {
    throw Refusal(e.what());
  }
}

bool has_display() {
  const char* x = std::getenv("DISPLAY");
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (wayland && *wayland);
}

std::string last_line(const fs::path& log) {
  std::string text;
  try {
    text = setup::read_file(log, 16 * 1024 * 1024);
  } catch (const std::exception&) {
    return {};
  }
  if (text.size() > kMaxLogTailBytes) text = text.substr(text.size() - kMaxLogTailBytes);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  const std::size_t start = text.rfind('\n');
  return start == std::string::npos ? text : text.substr(start + 1);
}

void start_service(const fs::path& folder, const ServiceProbe& probe,
                   const std::function<void(const std::string&)>& progress) {
  const fs::path script = folder / "Start-Emergency-Comms.sh";
  if (!fs::exists(script)) throw Refusal("The start script " + script.string() + " is missing.");
  const fs::path logs = folder / "data" / "logs";
  setup::ensure_private_folder(logs);
  const fs::path log = logs / "server.log";
  platform::DetachedProcess server = [&] {
    try {
      return platform::start_detached({"/bin/sh", script.string()}, {log, folder});
    } catch (const platform::ProcessError& e) {
      throw Refusal(e.what());
    }
  }();
  fs::permissions(log, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);

  progress("Waiting for the server to answer over HTTPS…");
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  std::string why;
  for (;;) {
    if (const std::optional<std::string> code = server.ended()) {
      const std::string line = last_line(log);
      throw Refusal("The server stopped during start-up (" + *code + ")." + (line.empty() ? "" : " " + line) +
                    " See " + log.string() + ".");
    }
    if (probe.answers(why)) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      throw Refusal("The server did not answer within " + std::to_string(kStartTimeout.count()) + " seconds (" +
                    why + "). See " + log.string() + ".");
    }
    std::this_thread::sleep_for(kPollInterval);
  }
}

}  // namespace

std::vector<std::string> start_and_open(Json& result, const std::function<void(const std::string&)>& progress,
                                        const FinishOptions& options) {
  std::vector<std::string> notes;
  const fs::path folder = result.at("folder").get<std::string>();
  const fs::path settings_file = folder / "data" / "deployment" / "server-settings.json";
  const Json settings = json::parse_text(setup::read_file(settings_file, kMaxSettingsBytes));
  const fs::path ca_file = fs::path(settings.at("cert").get<std::string>()).parent_path() / "ca.cer";

  const Json scope = result.value("browser_trust_scope", Json());
  if (scope.is_string()) {
    progress(scope == "machine" ? "Trusting the local CA for all users on this PC…"
                                : "Trusting the local CA for the current user…");
    try {
      trust::install_ca(scope.get<std::string>(), ca_file);
      result["_browser_trust_installed"] = true;
    } catch (const std::exception& e) {
      notes.push_back(std::string("Certificate trust was not installed: ") + e.what());
    }
  }

  progress("Starting the server…");
  const ServiceProbe probe(settings, ca_file);
  std::string why;
  if (probe.answers(why)) {
    notes.push_back("The server was already running.");
  } else {
    try {
      start_service(folder, probe, progress);
    } catch (const std::exception& e) {
      // The installation is committed and cannot be made again into this
      // folder, so the way forward is to change its settings and start it.
      throw Refusal(std::string(e.what()) + " The server's address and port (\"bind\": \"" +
                    settings.value("bind", std::string()) + "\", \"port\": " +
                    std::to_string(settings.value("port", 0)) + ") are in " + settings_file.string() +
                    "; if another program holds that port, stop it or change \"port\" there, then start the "
                    "server again with " + (folder / "Start-Emergency-Comms.sh").string() + ".");
    }
  }

  if (options.open_windows) {
    if (has_display()) {
      progress("Opening the Dashboard and the Administrator credential file…");
      // The server runs either way; a missing browser is worth a note, not a failure.
      try {
        open_dashboard(result.at("url").get<std::string>());
        open_file(result.at("credential_file").get<std::string>());
      } catch (const std::exception& e) {
        notes.push_back(std::string("The Dashboard could not be opened: ") + e.what());
      }
    } else {
      notes.push_back("No desktop display found: open " + result.at("url").get<std::string>() +
                      " in a browser and sign in with the token in " +
                      result.at("credential_file").get<std::string>() + ".");
    }
  }
  return notes;
}

void open_dashboard(const std::string& url) {
  std::error_code ec;
  if (fs::exists(kChromium, ec))
    open_detached({kChromium, "--app=" + url});
  else
    open_detached({"xdg-open", url});
}

void open_file(const fs::path& file) { open_detached({"xdg-open", file.string()}); }

}  // namespace halvenor::firstrun
