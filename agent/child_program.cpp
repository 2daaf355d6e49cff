#include "agent/child_program.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>

extern char** environ;

namespace halvenor::agent {
namespace {

std::mutex started_mutex;
std::set<pid_t> started;

pid_t spawn(const std::vector<std::string>& argv, int output_fd) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  if (output_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, output_fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output_fd, STDERR_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
  }
  // The agent blocks its stop signals for a signal-waiting thread; a helper
  // must start with them deliverable.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  int rc = posix_spawn(&pid, args[0], &actions, &attributes, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return rc == 0 ? pid : -1;
}

}  // namespace

std::optional<std::string> find_program(const std::string& name) {
  const char* path = std::getenv("PATH");
  std::string dirs = path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin";
  std::size_t at = 0;
  while (at <= dirs.size()) {
    std::size_t end = dirs.find(':', at);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(at, end - at);
    if (!dir.empty()) {
      std::string candidate = dir + "/" + name;
      if (::access(candidate.c_str(), X_OK) == 0) return candidate;
    }
    at = end + 1;
  }
  return std::nullopt;
}

ProgramResult run_program(const std::vector<std::string>& argv, double timeout_seconds) {
  ProgramResult result;
  int pipe_fds[2];
  if (::pipe2(pipe_fds, O_CLOEXEC) != 0) return result;
  pid_t pid = spawn(argv, pipe_fds[1]);
  ::close(pipe_fds[1]);
  if (pid < 0) {
    ::close(pipe_fds[0]);
    result.output = "could not start " + argv[0];
    return result;
  }
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                           std::chrono::duration<double>(timeout_seconds));
  bool open = true;
  while (open && Clock::now() < deadline) {
    pollfd p{pipe_fds[0], POLLIN, 0};
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (::poll(&p, 1, static_cast<int>(std::max<long long>(left, 0))) <= 0) continue;
    char buffer[4096];
    ssize_t n = ::read(pipe_fds[0], buffer, sizeof buffer);
    if (n > 0) {
      std::size_t room = kMaxProgramOutput - std::min(kMaxProgramOutput, result.output.size());
      result.output.append(buffer, std::min(room, static_cast<std::size_t>(n)));
    } else if (n == 0 || errno != EINTR) {
      open = false;
    }
  }
  ::close(pipe_fds[0]);
  int status = 0;
  while (true) {
    pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (Clock::now() >= deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return result;
    }
    ::usleep(20 * 1000);
  }
  if (WIFEXITED(status)) result.status = WEXITSTATUS(status);
  return result;
}

bool start_program(const std::vector<std::string>& argv) {
  pid_t pid = spawn(argv, -1);
  if (pid < 0) return false;
  std::lock_guard lock(started_mutex);
  started.insert(pid);
  return true;
}

void reap_finished_programs() {
  std::lock_guard lock(started_mutex);
  for (auto it = started.begin(); it != started.end();) {
    int status = 0;
    if (::waitpid(*it, &status, WNOHANG) != 0)
      it = started.erase(it);
    else
      ++it;
  }
}

}  // namespace halvenor::agent
