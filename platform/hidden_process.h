// Runs a platform tool as a hidden child process: no console, standard input
// empty, standard output and error captured (never shown), and a time-out
// after which the child and everything it started are killed. Also starts a
// program that outlives the caller (a service, a browser, a sound player).
//
// Children start with no signal blocked, whatever the calling thread blocks
// (a program that waits for its stop signals on one thread blocks them on all
// the others), and with none of the caller's descriptors beyond the three
// standard ones.
//
// Thread-safety: every function may be called from any thread; each call
// owns its child. run_hidden and run_captured block the calling thread until
// the child ends or the time-out.
//
// Errors: ProcessError, whose message names the command and the exit status,
// the signal or the time-out, when the tool cannot be started, ends with a
// non-zero status (run_hidden only), or does not end in time.
#pragma once

#include <chrono>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace halvenor::platform {

class ProcessError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Each captured stream is kept up to this size; the rest is read and dropped
// so that a talkative tool cannot block on a full pipe.
inline constexpr std::size_t kMaxCapturedBytes = 256 * 1024;

struct ProcessOutput {
  std::string output;  // standard output
  std::string error;   // standard error
};

// argv[0] is looked up on PATH when it holds no "/". `extra_environment`
// is added to (or replaces in) a copy of this process's environment.
ProcessOutput run_hidden(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::map<std::string, std::string>& extra_environment = {});

struct ProcessResult : ProcessOutput {
  std::optional<int> exit_status;  // none when a signal ended it
  int signal = 0;                  // the signal that ended it, when there is no exit status
};

// As run_hidden, but a tool that ends with a non-zero status or by a signal
// is an answer, not an error: the caller reads its status.
ProcessResult run_captured(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                           const std::map<std::string, std::string>& extra_environment = {});

struct DetachedOptions {
  std::filesystem::path output_file;  // standard output and error appended here (0600 when new); empty: discarded
  std::filesystem::path folder;       // working folder; empty: the caller's
};

// A program started in a session of its own, so that it outlives the caller
// and no terminal signal of the caller reaches it. Dropping the handle leaves
// it running; it is reaped in the background once it ends, so that it never
// lingers as a zombie.
class DetachedProcess {
 public:
  explicit DetachedProcess(int pid) : pid_(pid) {}
  ~DetachedProcess();
  DetachedProcess(DetachedProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }
  DetachedProcess& operator=(DetachedProcess&&) = delete;
  DetachedProcess(const DetachedProcess&) = delete;
  DetachedProcess& operator=(const DetachedProcess&) = delete;

  // How it ended ("exit status 1", "signal 9") once it has, else none.
  std::optional<std::string> ended();

 private:
  int pid_;  // -1 once reaped
};

// Throws ProcessError when the program cannot be found or started.
DetachedProcess start_detached(const std::vector<std::string>& argv, const DetachedOptions& options = {});

// The full path of a program found on PATH or in the sbin folders, or empty
// when there is none.
std::string find_program(const std::string& name);

}  // namespace halvenor::platform
