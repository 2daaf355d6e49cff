#include "platform/hidden_process.h"

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>
#include <thread>

extern char** environ;
#endif

namespace halvenor::platform {

#ifdef _WIN32

ProcessOutput run_hidden(const std::vector<std::string>& argv, std::chrono::milliseconds,
                         const std::map<std::string, std::string>&) {
  throw ProcessError("Running " + (argv.empty() ? std::string("a tool") : argv[0]) +
                     " is not supported by this build.");
}

std::string find_program(const std::string&) { return {}; }

#else

namespace {

using Clock = std::chrono::steady_clock;

// The last part of a tool's complaint, enough to tell IT what went wrong.
std::string tail_of(const std::string& text) {
  constexpr std::size_t kShown = 400;
  std::string t = text;
  while (!t.empty() && (t.back() == '\n' || t.back() == '\r' || t.back() == ' ')) t.pop_back();
  if (t.size() > kShown) t = "..." + t.substr(t.size() - kShown);
  return t;
}

class Pipe {
 public:
  Pipe() {
    if (pipe2(fds_, O_CLOEXEC) != 0) throw ProcessError(std::string("Cannot create a pipe: ") + std::strerror(errno));
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  int read_end() const { return fds_[0]; }
  int write_end() const { return fds_[1]; }
  void close_read() {
    if (fds_[0] >= 0) ::close(fds_[0]);
    fds_[0] = -1;
  }
  void close_write() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

std::vector<std::string> environment_with(const std::map<std::string, std::string>& extra) {
  std::vector<std::string> out;
  for (char** e = environ; e && *e; ++e) {
    std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    if (!extra.count(name)) out.push_back(entry);
  }
  for (const auto& [name, value] : extra) out.push_back(name + "=" + value);
  return out;
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> out;
  for (std::string& t : texts) out.push_back(t.data());
  out.push_back(nullptr);
  return out;
}

std::string describe_status(const std::string& command, int status) {
  if (WIFEXITED(status)) return command + " failed with exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return command + " was ended by signal " + std::to_string(WTERMSIG(status));
  return command + " ended abnormally";
}

}  // namespace

std::string find_program(const std::string& name) {
  if (name.find('/') != std::string::npos) return access(name.c_str(), X_OK) == 0 ? name : std::string();
  // System tools live in the sbin folders, which a user's PATH often omits.
  std::string path = "/usr/local/bin:/usr/bin:/bin";
  if (const char* env = std::getenv("PATH"); env && *env) path = env;
  path += ":/usr/local/sbin:/usr/sbin:/sbin";
  std::stringstream folders(path);
  std::string folder;
  while (std::getline(folders, folder, ':')) {
    if (folder.empty()) continue;
    const std::string candidate = folder + "/" + name;
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(candidate.c_str(), X_OK) == 0)
      return candidate;
  }
  return {};
}

ProcessOutput run_hidden(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::map<std::string, std::string>& extra_environment) {
  if (argv.empty()) throw ProcessError("No command to run.");
  const std::string& command = argv[0];
  const std::string program = find_program(command);
  if (program.empty()) throw ProcessError("Cannot run " + command + ": program not found.");

  Pipe out, err;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out.write_end(), 1);
  posix_spawn_file_actions_adddup2(&actions, err.write_end(), 2);
  // Nothing else of the caller (sockets, other children's pipes) leaks into the tool.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  // Its own process group, so a time-out also stops whatever the tool started.
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);

  std::vector<std::string> args = argv;
  std::vector<std::string> env = environment_with(extra_environment);
  std::vector<char*> arg_pointers = pointers(args);
  std::vector<char*> env_pointers = pointers(env);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, program.c_str(), &actions, &attributes, arg_pointers.data(), env_pointers.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawned != 0) throw ProcessError("Cannot run " + command + ": " + std::strerror(spawned));
  out.close_write();
  err.close_write();

  const auto deadline = Clock::now() + timeout;
  auto remaining_ms = [&] {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 1000));
  };
  auto stop = [&] {
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
    int ignored = 0;
    while (waitpid(pid, &ignored, 0) < 0 && errno == EINTR) {
    }
    throw ProcessError(command + " did not finish within " +
                       std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) +
                       " seconds and was stopped.");
  };

  ProcessOutput result;
  pollfd fds[2] = {{out.read_end(), POLLIN, 0}, {err.read_end(), POLLIN, 0}};
  std::string* sinks[2] = {&result.output, &result.error};
  int open = 2;
  while (open > 0) {
    if (Clock::now() >= deadline) stop();
    int ready = poll(fds, 2, remaining_ms());
    if (ready < 0 && errno != EINTR) stop();
    for (int i = 0; i < 2 && ready > 0; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buffer[4096];
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        std::string& sink = *sinks[i];
        if (sink.size() < kMaxCapturedBytes)
          sink.append(buffer, std::min<std::size_t>(static_cast<std::size_t>(n), kMaxCapturedBytes - sink.size()));
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        fds[i].fd = -1;
        --open;
      }
    }
  }

  int status = 0;
  for (;;) {
    pid_t done = waitpid(pid, &status, WNOHANG);
    if (done == pid) break;
    if (done < 0 && errno != EINTR) throw ProcessError("Cannot wait for " + command + ": " + std::strerror(errno));
    if (Clock::now() >= deadline) stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::string message = describe_status(command, status);
    const std::string detail = tail_of(result.error.empty() ? result.output : result.error);
    if (!detail.empty()) message += ": " + detail;
    throw ProcessError(message);
  }
  return result;
}

#endif

}  // namespace halvenor::platform
