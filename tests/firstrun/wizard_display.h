// Support for driving the first-install window on a virtual X display.
//
// XvfbDisplay starts a private Xvfb server on a free display number and
// stops it when dropped. GuiProcess runs a program with extra environment
// variables, its output going to a log file (a GUI child that leaves a
// server running must not hold a pipe of the test open). WizardDriver writes
// the Tcl script the window sources through HALVENOR_WIZARD_SCRIPT; the script
// polls a folder for numbered command files, evaluates each in the window's
// interpreter and writes the result next to it, so the test talks to the
// live window one command at a time.
//
// Not thread-safe; each object belongs to one test. Failures throw
// std::runtime_error naming what did not happen.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace halvenor::testing {

class GuiProcess {
 public:
  GuiProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
             const std::filesystem::path& log_file);
  ~GuiProcess();  // SIGKILL and reap when still running
  GuiProcess(const GuiProcess&) = delete;
  GuiProcess& operator=(const GuiProcess&) = delete;

  pid_t pid() const { return pid_; }
  bool running();
  // Exit status (128 + signal when killed); nullopt when still running at the timeout.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  std::optional<int> status_;
};

class XvfbDisplay {
 public:
  static std::optional<std::filesystem::path> program();  // nullopt when Xvfb is not installed
  XvfbDisplay(int width, int height, const std::filesystem::path& log_file);
  const std::string& name() const { return name_; }  // ":N"
  // Saves the whole screen as a PNG file.
  void screenshot(const std::filesystem::path& png) const;

 private:
  std::string name_;
  std::optional<GuiProcess> server_;
};

// Number of distinct colours in a rectangle of a PNG file (1 = uniform).
int colours_in(const std::filesystem::path& png, int x, int y, int width, int height);

// Ends (SIGTERM, then SIGKILL) every process of this user whose program
// file lies under `folder`; returns how many there were.
int stop_processes_under(const std::filesystem::path& folder);

class WizardDriver {
 public:
  explicit WizardDriver(const std::filesystem::path& folder);
  // The file to hand to the window as HALVENOR_WIZARD_SCRIPT.
  const std::filesystem::path& script() const { return script_; }
  // Evaluates `tcl` in the window; returns its result. Throws with Tcl's
  // message when it failed, or when no answer came within the timeout.
  std::string run(const std::string& tcl, std::chrono::seconds timeout = std::chrono::seconds(30));

 private:
  std::filesystem::path folder_;
  std::filesystem::path script_;
  int next_ = 0;
};

}  // namespace halvenor::testing
