// halvenor-agent.exe, the desktop agent of a Windows computer: the same
// command line and behaviour as the Linux agent (agent/agent_options.h,
// agent/poll_loop.h), with Windows' places and signals:
// - state in %LOCALAPPDATA%\Halvenor\Agent unless --state-dir says otherwise;
// - without settings it enrols from rollout.json beside the exe, where the
//   MSI put it;
// - one agent per user and state folder (a named mutex in the session);
// - it is a windowed program (the Run key starts it at sign-in without a
//   console), so when it has no standard output its log goes to agent.log in
//   the state folder;
// - Ctrl+C, Ctrl+Break, closing its console, signing out and shutting down
//   stop it cleanly, like SIGTERM on Linux.
#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <thread>

#include "agent/agent_log.h"
#include "agent/agent_options.h"
#include "agent/agent_settings.h"
#include "agent/enrolment.h"
#include "agent/poll_loop.h"
#include "agent/receipt_journal.h"
#include "agent/server_link.h"
#include "agent/trust_store.h"
#include "agent/windows/alert_screens.h"
#include "net/private_files.h"
#include "platform/host_name.h"
#include "platform/instance_lock.h"
#include "platform/program_folder.h"

namespace {

using namespace halvenor::agent;
namespace fs = std::filesystem;

constexpr char kRolloutBesideProgram[] = "rollout.json";
constexpr std::uintmax_t kMaxLogBytes = 4 * 1024 * 1024;

std::atomic<PollLoop*> running_loop{nullptr};
std::atomic<win32::AlertScreens*> running_screens{nullptr};

BOOL WINAPI on_console_event(DWORD) {
  if (PollLoop* loop = running_loop.load()) loop->stop();
  if (win32::AlertScreens* screens = running_screens.load()) screens->quit();
  return TRUE;
}

std::string utf8(const wchar_t* text) {
  const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size > 0 ? size - 1 : 0), '\0');
  if (size > 1) WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), size, nullptr, nullptr);
  return out;
}

fs::path path_of(const std::string& text) {
  return fs::path(std::u8string(reinterpret_cast<const char8_t*>(text.data()), text.size()));
}

std::string shown(const fs::path& path) {
  const std::u8string text = path.u8string();
  return std::string(reinterpret_cast<const char*>(text.data()), text.size());
}

// The arguments as Windows holds them (UTF-16), in UTF-8 like the Linux agent's.
std::vector<std::string> arguments() {
  int count = 0;
  wchar_t** words = CommandLineToArgvW(GetCommandLineW(), &count);
  std::vector<std::string> out;
  for (int i = 1; i < count; ++i) out.push_back(utf8(words[i]));
  LocalFree(words);
  return out;
}

bool has_output(DWORD which) {
  HANDLE handle = GetStdHandle(which);
  return handle != nullptr && handle != INVALID_HANDLE_VALUE;
}

// A windowed program started at sign-in has nowhere to write; its log then
// goes to a file that IT can read, the previous one kept beside it.
void log_to_file_without_console(const fs::path& state) {
  if (has_output(STD_OUTPUT_HANDLE)) return;
  const fs::path log = state / "agent.log";
  std::error_code ignored;
  if (fs::file_size(log, ignored) > kMaxLogBytes && !ignored) fs::rename(log, state / "agent.log.1", ignored);
  if (_wfreopen(log.wstring().c_str(), L"a", stdout) == nullptr) return;
  if (!has_output(STD_ERROR_HANDLE)) _wfreopen(log.wstring().c_str(), L"a", stderr);
}

std::string this_host() {
  std::string name = halvenor::platform::host_name();
  if (name.empty()) throw AgentSetupError("This computer's host name is unknown; pass --hostname.");
  return name;
}

void claim(const fs::path& state) {
  if (!halvenor::platform::claim_instance(state))
    throw AgentSetupError("Another agent is already running with the state folder " + shown(state) + ".");
}

void report_enrolment(const AgentSettings& settings, const fs::path& state) {
  std::printf("enrolled as %s at %s (%s); settings in %s\n", settings.device_id.c_str(), settings.server_url.c_str(),
              settings.allow_live_incidents ? "live incidents allowed" : "exercises only",
              shown(state / kEnrolledSettingsFile).c_str());
  std::fflush(stdout);
}

// As on Linux: the agent starts with the session, perhaps before the network
// or the server, and IT may replace the rollout file while it waits.
void enrol_on_first_start(const fs::path& state, const fs::path& rollout) {
  const std::string host = this_host();
  for (unsigned delay = kFirstEnrolmentRetrySeconds;; delay = std::min(delay * 2, kMaxEnrolmentRetrySeconds)) {
    try {
      report_enrolment(enrol(load_rollout(rollout), state, host), state);
      return;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "agent: enrolment from %s: %s; trying again in %u s\n", shown(rollout).c_str(), e.what(),
                   delay);
      std::fflush(stderr);
      Sleep(delay * 1000);
    }
  }
}

int run(const AgentOptions& options) {
  const fs::path state = options.state_dir.empty() ? default_state_folder() : path_of(options.state_dir);
  halvenor::setup::ensure_private_folder(state);
  log_to_file_without_console(state);
  if (!options.enrol.empty()) {
    const Rollout rollout = load_rollout(path_of(options.enrol));
    claim(state);
    report_enrolment(enrol(rollout, state, options.hostname.empty() ? this_host() : options.hostname), state);
    return 0;
  }
  claim(state);
  fs::path settings_file = path_of(options.settings);
  if (settings_file.empty()) {
    settings_file = state / kEnrolledSettingsFile;
    std::error_code missing;
    if (!fs::exists(settings_file, missing)) {
      const fs::path rollout = halvenor::platform::program_folder() / kRolloutBesideProgram;
      if (!fs::exists(rollout, missing))
        throw AgentSetupError("No settings in " + shown(state) + " and no " + shown(rollout) +
                              ": pass --settings FILE, or enrol first with --enrol ROLLOUT_FILE.");
      enrol_on_first_start(state, rollout);
    }
  }
  const AgentSettings settings = load_agent_settings(settings_file);

  TrustStore trust(settings, state);
  ServerLink link(settings, trust);
  ReceiptJournal journal(state / "receipts.journal");

  PollOptions poll_options;
  poll_options.timing.poll_seconds = options.poll_seconds;
  poll_options.auto_ack_seconds = options.auto_ack_seconds;
  poll_options.once = options.once;
  poll_options.state_folder = state;

  std::unique_ptr<win32::AlertScreens> screens;
  HeadlessDisplay headless;
  if (!options.headless) screens = std::make_unique<win32::AlertScreens>();
  AlertDisplay& display = screens ? static_cast<AlertDisplay&>(*screens) : headless;
  PollLoop loop(settings, trust, link, journal, display, poll_options);
  if (screens) screens->attach(loop);
  running_loop = &loop;
  running_screens = screens.get();
  SetConsoleCtrlHandler(on_console_event, TRUE);

  int status = 0;
  if (!screens) {
    status = loop.run();
  } else {
    std::thread worker([&] {
      try {
        status = loop.run();
      } catch (const std::exception& e) {
        // A fault of this machine (the journal cannot be written): the agent
        // must not pretend to work.
        std::fprintf(stderr, "agent: error: %s\n", e.what());
        std::fflush(stderr);
        status = 1;
      }
      screens->quit();
    });
    screens->run();
    loop.stop();
    worker.join();
  }
  running_screens = nullptr;
  running_loop = nullptr;
  return status;
}

}  // namespace

int main() {
  AgentOptions options;
  try {
    options = parse_agent_options(arguments());
  } catch (const AgentUsageError& e) {
    std::fprintf(stderr, "%s\nagent: error: %s\n", kAgentUsage, e.what());
    return 2;
  }
  if (options.help) {
    std::printf("%s\n", kAgentUsage);
    return 0;
  }
  try {
    return run(options);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "agent: error: %s\n", e.what());
    return 1;
  }
}
