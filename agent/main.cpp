// The desktop agent of a receiving computer: see agent/poll_loop.h for what
// it does and agent/agent_options.h for its command line.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <tcl.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <thread>

#include "agent/agent_log.h"
#include "agent/agent_options.h"
#include "agent/agent_settings.h"
#include "agent/alert_window.h"
#include "agent/enrolment.h"
#include "agent/poll_loop.h"
#include "agent/receipt_journal.h"
#include "agent/server_link.h"
#include "agent/trust_store.h"
#include "net/private_files.h"
#include "platform/host_name.h"
#include "platform/instance_lock.h"

namespace {

using namespace halvenor::agent;

void lock_state_folder(const std::filesystem::path& folder) {
  if (!halvenor::platform::claim_instance(folder))
    throw AgentSetupError("Another agent is already running with the state folder " + folder.string() + ".");
}

std::string this_host() {
  std::string name = halvenor::platform::host_name();
  if (name.empty()) throw AgentSetupError("This computer's host name is unknown; pass --hostname.");
  return name;
}

void report_enrolment(const AgentSettings& settings, const std::filesystem::path& state) {
  std::printf("enrolled as %s at %s (%s); settings in %s\n", settings.device_id.c_str(), settings.server_url.c_str(),
              settings.allow_live_incidents ? "live incidents allowed" : "exercises only",
              (state / kEnrolledSettingsFile).c_str());
  std::fflush(stdout);
}

// A packaged agent starts with the desktop session, possibly before the
// network or the server is up, and IT may replace a used-up or broken rollout
// file while it waits: it keeps trying, reading the file afresh each time,
// rather than exiting into a restart loop that would hammer the server.
void enrol_on_first_start(const std::filesystem::path& state) {
  const std::string host = this_host();
  for (unsigned delay = kFirstEnrolmentRetrySeconds;; delay = std::min(delay * 2, kMaxEnrolmentRetrySeconds)) {
    try {
      report_enrolment(enrol(load_rollout(kSystemRolloutFile), state, host), state);
      return;
    } catch (const std::exception& e) {
      std::fprintf(stderr, "agent: enrolment from %s: %s; trying again in %u s\n", kSystemRolloutFile, e.what(),
                   delay);
      ::sleep(delay);
    }
  }
}

int run(const AgentOptions& options, const char* program) {
  const std::filesystem::path state =
      options.state_dir.empty() ? default_state_folder() : std::filesystem::path(options.state_dir);
  if (!options.enrol.empty()) {
    const Rollout rollout = load_rollout(options.enrol);
    halvenor::setup::ensure_private_folder(state);
    lock_state_folder(state);
    report_enrolment(enrol(rollout, state, options.hostname.empty() ? this_host() : options.hostname), state);
    return 0;
  }
  halvenor::setup::ensure_private_folder(state);
  lock_state_folder(state);
  std::filesystem::path settings_file = options.settings;
  if (settings_file.empty()) {
    settings_file = state / kEnrolledSettingsFile;
    std::error_code missing;
    if (!std::filesystem::exists(settings_file, missing)) {
      if (!std::filesystem::exists(kSystemRolloutFile, missing))
        throw AgentSetupError("No settings in " + state.string() + " and no " + kSystemRolloutFile +
                              ": pass --settings FILE, or enrol first with --enrol ROLLOUT_FILE.");
      enrol_on_first_start(state);
    }
  }
  const AgentSettings settings = load_agent_settings(settings_file);

  // SIGTERM and SIGINT are taken by one thread, so that they end the loop
  // (and the window) cleanly instead of interrupting a journal write.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  TrustStore trust(settings, state);
  ServerLink link(settings, trust);
  ReceiptJournal journal(state / "receipts.journal");

  PollOptions poll_options;
  poll_options.timing.poll_seconds = options.poll_seconds;
  poll_options.auto_ack_seconds = options.auto_ack_seconds;
  poll_options.once = options.once;
  poll_options.state_folder = state;

  std::unique_ptr<AlertWindow> window;
  HeadlessDisplay headless;
  if (!options.headless) {
    Tcl_FindExecutable(program);
    window = std::make_unique<AlertWindow>();
  }
  AlertDisplay& display = window ? static_cast<AlertDisplay&>(*window) : headless;
  PollLoop loop(settings, trust, link, journal, display, poll_options);
  if (window) window->attach(loop);

  std::thread([&loop, &window, stop_signals] {
    int signal = 0;
    sigwait(&stop_signals, &signal);
    loop.stop();
    if (window) window->quit();
  }).detach();

  if (!window) return loop.run();
  int status = 0;
  std::thread worker([&] {
    try {
      status = loop.run();
    } catch (const std::exception& e) {
      // A fault of this machine (the journal cannot be written): the agent
      // must not pretend to work, so it ends and its service restarts it.
      std::fprintf(stderr, "agent: error: %s\n", e.what());
      status = 1;
    }
    window->quit();
  });
  window->run();
  loop.stop();
  worker.join();
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  AgentOptions options;
  try {
    options = parse_agent_options(std::vector<std::string>(argv + 1, argv + argc));
  } catch (const AgentUsageError& e) {
    std::fprintf(stderr, "%s\nagent: error: %s\n", kAgentUsage, e.what());
    return 2;
  }
  if (options.help) {
    std::printf("%s\n", kAgentUsage);
    return 0;
  }
  try {
    return run(options, argv[0]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "agent: error: %s\n", e.what());
    return 1;
  }
}
