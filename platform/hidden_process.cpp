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

#include "platform/file_descriptor.h"

extern char** environ;
#endif

namespace halvenor::platform {

#ifdef _WIN32

ProcessOutput run_hidden(const std::vector<std::string>& argv, std::chrono::milliseconds,
                         const std::map<std::string, std::string>&) {
  throw ProcessError("Running " + (argv.empty() ? std::string("a tool") : argv[0]) +
                     " is not supported by this build.");
}

ProcessResult run_captured(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                           const std::map<std::string, std::string>& extra_environment) {
  run_hidden(argv, timeout, extra_environment);
  return {};
}

DetachedProcess::~DetachedProcess() = default;
std::optional<std::string> DetachedProcess::ended() { return "exit status 0"; }

DetachedProcess start_detached(const std::vector<std::string>& argv, const DetachedOptions&) {
  run_hidden(argv, {}, {});
  return DetachedProcess(-1);
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

struct Pipe {
  FileDescriptor read_end, write_end;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw ProcessError(std::string("Cannot create a pipe: ") + std::strerror(errno));
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
  }
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

std::string how_it_ended(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "an abnormal end";
}

// The spawn settings every child shares; the caller adds where its standard
// streams go.
class SpawnSettings {
 public:
  explicit SpawnSettings(short flags) {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(&attributes, static_cast<short>(flags | POSIX_SPAWN_SETSIGMASK));
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  ~SpawnSettings() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSettings(const SpawnSettings&) = delete;
  SpawnSettings& operator=(const SpawnSettings&) = delete;

  // Starts the program; throws ProcessError naming argv[0] when it cannot.
  pid_t spawn(const std::vector<std::string>& argv, const std::map<std::string, std::string>& extra_environment) {
    if (argv.empty()) throw ProcessError("No command to run.");
    const std::string program = find_program(argv[0]);
    if (program.empty()) throw ProcessError("Cannot run " + argv[0] + ": program not found.");
    // Nothing else of the caller (sockets, windows, other children's pipes) leaks into the child.
    posix_spawn_file_actions_addclosefrom_np(&actions, 3);
    std::vector<std::string> args = argv;
    std::vector<std::string> env = environment_with(extra_environment);
    std::vector<char*> arg_pointers = pointers(args);
    std::vector<char*> env_pointers = pointers(env);
    pid_t pid = -1;
    const int spawned =
        posix_spawn(&pid, program.c_str(), &actions, &attributes, arg_pointers.data(), env_pointers.data());
    if (spawned != 0) throw ProcessError("Cannot run " + argv[0] + ": " + std::strerror(spawned));
    return pid;
  }

  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
};

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

ProcessResult run_captured(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                           const std::map<std::string, std::string>& extra_environment) {
  Pipe out, err;
  // Its own process group, so a time-out also stops whatever the tool started.
  SpawnSettings settings(POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&settings.attributes, 0);
  posix_spawn_file_actions_adddup2(&settings.actions, out.write_end.get(), 1);
  posix_spawn_file_actions_adddup2(&settings.actions, err.write_end.get(), 2);
  const pid_t pid = settings.spawn(argv, extra_environment);
  const std::string& command = argv[0];
  out.write_end.reset();
  err.write_end.reset();

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

  ProcessResult result;
  pollfd fds[2] = {{out.read_end.get(), POLLIN, 0}, {err.read_end.get(), POLLIN, 0}};
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
  if (WIFEXITED(status)) result.exit_status = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

ProcessOutput run_hidden(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
                         const std::map<std::string, std::string>& extra_environment) {
  ProcessResult result = run_captured(argv, timeout, extra_environment);
  if (result.exit_status != 0) {
    std::string message = argv[0] + (result.exit_status ? " failed with exit status " + std::to_string(*result.exit_status)
                                     : result.signal != 0 ? " was ended by signal " + std::to_string(result.signal)
                                                          : std::string(" ended abnormally"));
    const std::string detail = tail_of(result.error.empty() ? result.output : result.error);
    if (!detail.empty()) message += ": " + detail;
    throw ProcessError(message);
  }
  return result;
}

DetachedProcess start_detached(const std::vector<std::string>& argv, const DetachedOptions& options) {
  SpawnSettings settings(POSIX_SPAWN_SETSID);
  const std::string out = options.output_file.empty() ? std::string("/dev/null") : options.output_file.string();
  posix_spawn_file_actions_addopen(&settings.actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&settings.actions, 1, 2);
  if (!options.folder.empty()) posix_spawn_file_actions_addchdir_np(&settings.actions, options.folder.c_str());
  return DetachedProcess(settings.spawn(argv, {}));
}

std::optional<std::string> DetachedProcess::ended() {
  if (pid_ < 0) return std::nullopt;
  int status = 0;
  if (waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
  pid_ = -1;
  return how_it_ended(status);
}

DetachedProcess::~DetachedProcess() {
  if (pid_ < 0) return;
  std::thread([pid = pid_] {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }).detach();
}

#endif

}  // namespace halvenor::platform
