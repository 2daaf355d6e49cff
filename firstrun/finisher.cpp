#include "firstrun/finisher.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "net/private_files.h"
#include "firstrun/certificate_trust.h"
#include "firstrun/service_probe.h"
#include "platform/hidden_process.h"
#include "server/core/errors.h"

extern char** environ;

namespace fs = std::filesystem;

namespace halvenor::firstrun {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(30);
constexpr auto kPollInterval = std::chrono::milliseconds(250);
constexpr std::size_t kMaxSettingsBytes = 1024 * 1024;
constexpr std::size_t kMaxLogTailBytes = 64 * 1024;
constexpr char kChromium[] = "/usr/bin/chromium";

// Starts a program in a session of its own, so that it outlives setup and no
// terminal signal of setup reaches it. Output goes to `log` (appended) or
// nowhere. Returns the child's id; the caller reaps it.
pid_t spawn_detached(const std::vector<std::string>& argv, const fs::path& log, const fs::path& folder) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  const std::string out = log.empty() ? std::string("/dev/null") : log.string();
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  // The service outlives setup; it must not hold setup's windows or pipes open.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  if (!folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID);
  std::vector<std::string> args = argv;
  std::vector<char*> pointers;
  for (std::string& a : args) pointers.push_back(a.data());
  pointers.push_back(nullptr);
  const std::string program = platform::find_program(argv[0]);
  pid_t pid = -1;
  const int rc = program.empty() ? ENOENT
                                 : posix_spawn(&pid, program.c_str(), &actions, &attributes, pointers.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (rc != 0) throw Refusal("Cannot start " + argv[0] + ": " + std::strerror(rc));
  return pid;
}

// Collects the child's exit in the background so it never lingers as a zombie
// while setup stays open.
void reap_later(pid_t pid) {
  std::thread([pid] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

void open_detached(const std::vector<std::string>& argv) { reap_later(spawn_detached(argv, {}, {})); }

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
  pid_t pid = spawn_detached({"/bin/sh", script.string()}, log, folder);
  fs::permissions(log, fs::perms::owner_read | fs::perms::owner_write, fs::perm_options::replace);

  progress("Waiting for the server to answer over HTTPS…");
  const auto deadline = std::chrono::steady_clock::now() + kStartTimeout;
  std::string why;
  for (;;) {
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
      const std::string code = WIFEXITED(status) ? "exit status " + std::to_string(WEXITSTATUS(status))
                                                 : "signal " + std::to_string(WTERMSIG(status));
      const std::string line = last_line(log);
      throw Refusal("The server stopped during start-up (" + code + ")." + (line.empty() ? "" : " " + line) +
                    " See " + log.string() + ".");
    }
    if (probe.answers(why)) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      reap_later(pid);
      throw Refusal("The server did not answer within " + std::to_string(kStartTimeout.count()) + " seconds (" +
                    why + "). See " + log.string() + ".");
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  reap_later(pid);
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
