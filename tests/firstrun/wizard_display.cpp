#include "tests/firstrun/wizard_display.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tk/tcl_interpreter.h"

extern char** environ;

namespace halvenor::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

void pause_briefly() { std::this_thread::sleep_for(std::chrono::milliseconds(50)); }

std::string read_all(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Writes through a temporary name so that the reader never sees half a file.
void write_atomically(const fs::path& file, const std::string& text) {
  fs::path temporary = file;
  temporary += ".part";
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out << text;
    if (!out) throw std::runtime_error("cannot write " + temporary.string());
  }
  fs::rename(temporary, file);
}

std::string shell_output(const std::string& command) {
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) throw std::runtime_error("cannot run " + command);
  std::string output;
  char buffer[4096];
  while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe)) output.append(buffer, n);
  int status = ::pclose(pipe);
  if (status != 0) throw std::runtime_error(command + " failed with status " + std::to_string(status));
  return output;
}

// The poller the window sources. Commands run at global level; the reply's
// first line is "ok" or "error", the rest is the result.
constexpr char kDriverScript[] = R"TCL(
namespace eval ::wizard_test {
  variable n 0
  proc poll {} {
    variable dir
    variable n
    set command [file join $dir "command-$n.tcl"]
    if {[file exists $command]} {
      set code [catch {uplevel #0 [list source -encoding utf-8 $command]} result]
      set part [file join $dir "reply-$n.part"]
      set out [open $part w]
      fconfigure $out -encoding utf-8 -translation lf
      puts -nonewline $out "[expr {$code == 0 ? {ok} : {error}}]\n$result"
      close $out
      file rename -force $part [file join $dir "reply-$n.txt"]
      incr n
    }
    after 50 ::wizard_test::poll
  }
  # Alt+<key> delivered to whichever widget has the keyboard focus.
  proc alt {key} {
    update
    set target [focus]
    if {$target eq ""} {set target .}
    event generate $target <Alt-Key-$key>
    update
  }
  after 50 ::wizard_test::poll
}
)TCL";

}  // namespace

GuiProcess::GuiProcess(const std::vector<std::string>& argv, const std::vector<std::string>& extra_env,
                       const fs::path& log_file) {
  std::vector<std::string> env_text;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string entry = *e;
    bool replaced = false;
    for (const auto& extra : extra_env)
      if (entry.compare(0, extra.find('=') + 1, extra, 0, extra.find('=') + 1) == 0) replaced = true;
    if (!replaced) env_text.push_back(entry);
  }
  env_text.insert(env_text.end(), extra_env.begin(), extra_env.end());
  std::vector<char*> envp;
  for (auto& e : env_text) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log_file.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
}

GuiProcess::~GuiProcess() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    wait_exit(std::chrono::seconds(10));
  }
}

bool GuiProcess::running() {
  if (status_) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return false;
}

std::optional<int> GuiProcess::wait_exit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (running()) {
    if (Clock::now() >= deadline) return std::nullopt;
    pause_briefly();
  }
  return status_;
}

std::optional<fs::path> XvfbDisplay::program() {
  for (const char* candidate : {"/usr/bin/Xvfb", "/usr/local/bin/Xvfb"})
    if (::access(candidate, X_OK) == 0) return fs::path(candidate);
  return std::nullopt;
}

XvfbDisplay::XvfbDisplay(int width, int height, const fs::path& log_file) {
  auto xvfb = program();
  if (!xvfb) throw std::runtime_error("Xvfb is not installed");
  const std::string screen = std::to_string(width) + "x" + std::to_string(height) + "x24";
  // Start away from the numbers desktops and ssh forwarding usually take;
  // the process id spreads parallel test runs over different numbers.
  for (int attempt = 0; attempt < 40; ++attempt) {
    int number = 140 + (static_cast<int>(::getpid()) + attempt * 7) % 300;
    fs::path socket = "/tmp/.X11-unix/X" + std::to_string(number);
    fs::path lock = "/tmp/.X" + std::to_string(number) + "-lock";
    if (fs::exists(socket) || fs::exists(lock)) continue;
    name_ = ":" + std::to_string(number);
    server_.emplace(std::vector<std::string>{xvfb->string(), name_, "-screen", "0", screen, "-nolisten", "tcp"},
                    std::vector<std::string>{}, log_file);
    const auto deadline = Clock::now() + std::chrono::seconds(20);
    while (server_->running() && !fs::exists(socket) && Clock::now() < deadline) pause_briefly();
    if (server_->running() && fs::exists(socket)) return;
    server_.reset();  // lost a race for the number, or it failed: try another
  }
  throw std::runtime_error("could not start Xvfb; see " + log_file.string());
}

void XvfbDisplay::screenshot(const fs::path& png) const {
  fs::create_directories(png.parent_path());
  shell_output("xwd -root -silent -display " + name_ + " | convert xwd:- png:" + tk::quote(png.string()));
  if (!fs::exists(png)) throw std::runtime_error("no screenshot written to " + png.string());
}

int colours_in(const fs::path& png, int x, int y, int width, int height) {
  const std::string crop = std::to_string(width) + "x" + std::to_string(height) + "+" + std::to_string(x) + "+" +
                           std::to_string(y);
  std::string output =
      shell_output("convert " + tk::quote(png.string()) + " -crop " + crop + " +repage -format %k info:");
  return std::stoi(output);
}

int stop_processes_under(const fs::path& folder) {
  const std::string prefix = fs::weakly_canonical(folder).string() + "/";
  std::vector<pid_t> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/proc", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code link_error;
    fs::path exe = fs::read_symlink(entry.path() / "exe", link_error);
    if (!link_error && exe.string().rfind(prefix, 0) == 0) found.push_back(static_cast<pid_t>(std::stol(name)));
  }
  for (pid_t pid : found) ::kill(pid, SIGTERM);
  for (int i = 0; i < 100; ++i) {
    bool any = false;
    for (pid_t pid : found) any = any || ::kill(pid, 0) == 0;
    if (!any) break;
    pause_briefly();
  }
  for (pid_t pid : found) ::kill(pid, SIGKILL);
  return static_cast<int>(found.size());
}

WizardDriver::WizardDriver(const fs::path& folder) : folder_(folder), script_(folder / "driver.tcl") {
  fs::create_directories(folder_);
  write_atomically(script_, "namespace eval ::wizard_test {variable dir " + tk::quote(folder_.string()) +
                                "}\n" + kDriverScript);
}

std::string WizardDriver::run(const std::string& tcl, std::chrono::seconds timeout) {
  const int n = next_++;
  write_atomically(folder_ / ("command-" + std::to_string(n) + ".tcl"), tcl);
  const fs::path reply = folder_ / ("reply-" + std::to_string(n) + ".txt");
  const auto deadline = Clock::now() + timeout;
  while (!fs::exists(reply)) {
    if (Clock::now() >= deadline) throw std::runtime_error("the window did not answer: " + tcl);
    pause_briefly();
  }
  std::string text = read_all(reply);
  auto newline = text.find('\n');
  std::string status = text.substr(0, newline);
  std::string result = newline == std::string::npos ? "" : text.substr(newline + 1);
  if (status != "ok") throw std::runtime_error("Tcl error in [" + tcl + "]: " + result);
  return result;
}

}  // namespace halvenor::testing
