// Runs a platform tool as a hidden child process: no console, standard input
// empty, standard output and error captured (never shown), and a time-out
// after which the child and everything it started are killed.
//
// Thread-safety: run_hidden may be called from any thread; each call owns its
// child. It blocks the calling thread until the child ends or the time-out.
//
// Errors: ProcessError, whose message names the command and the exit status,
// the signal or the time-out, when the tool cannot be started, ends with a
// non-zero status, or does not end in time.
#pragma once

#include <chrono>
#include <map>
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

// The full path of a program found on PATH or in the sbin folders, or empty
// when there is none.
std::string find_program(const std::string& name);

}  // namespace halvenor::platform
