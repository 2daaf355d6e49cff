// Support for tests that run the built service as a child process and talk to
// it over real sockets.
//
// ChildProcess owns one spawned program: its standard output and error are
// pipes read by the test, and the destructor kills (SIGKILL) and reaps a
// child that is still running, so a failing test never leaves one behind.
// HttpReply/exchange form a minimal HTTP/1.0 client over plain TCP or TLS;
// the request bytes are sent exactly as given, so malformed or partial
// requests can be written on purpose.
//
// Not thread-safe: each object belongs to one test thread. Failures to
// spawn, connect or complete a TLS handshake throw std::runtime_error.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/json_text.h"
#include "tests/support/temp_folder.h"

namespace halvenor::testing {

// Generous bounds: the suite also runs under sanitizers on a shared machine.
inline constexpr std::chrono::seconds kStartTimeout{60};
inline constexpr std::chrono::seconds kExitTimeout{60};
inline constexpr std::chrono::seconds kReplyTimeout{60};

using TempFolder = test_support::TempFolder;

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  // The next line of standard output without its line break; nullopt when
  // the output ended or no line came within the timeout.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = kStartTimeout);
  void send_signal(int signal) const;
  // Waits for the child to end, collecting its remaining output. Returns the
  // exit status, or 128 + the signal number when a signal ended it; nullopt
  // when it is still running at the timeout.
  std::optional<int> wait_exit(std::chrono::milliseconds timeout = kExitTimeout);
  // Standard error as collected so far (complete after wait_exit).
  const std::string& error_text() const { return stderr_text_; }

 private:
  void drain(int timeout_ms);
  pid_t pid_ = -1;
  int stdout_fd_ = -1;
  int stderr_fd_ = -1;
  bool reaped_ = false;
  std::string stdout_buffer_;
  std::string stderr_text_;
};

struct HttpReply {
  int status = 0;
  std::string status_line;
  std::vector<std::pair<std::string, std::string>> headers;  // in order received
  std::string body;

  // First header of that name (case-insensitive); nullopt when absent.
  std::optional<std::string> header(std::string_view name) const;
  std::vector<std::string> header_names() const;
  Json json() const;  // the body parsed as JSON
};

// Builds "METHOD target HTTP/1.0", the header lines in order, a blank line
// and the body. No header is added on the caller's behalf.
std::string raw_request(const std::string& method, const std::string& target,
                        const std::vector<std::pair<std::string, std::string>>& headers,
                        const std::string& body = "");

// Opens a TCP connection to 127.0.0.1:port (close-on-exec). Throws on failure.
int connect_loopback(int port);

// Sends request over plain TCP and reads until the server closes.
HttpReply http_exchange(int port, std::string_view request);

// The same over TLS; the server certificate must chain to ca_file and name
// host (a DNS name or an IP literal).
HttpReply https_exchange(int port, std::string_view request, const std::filesystem::path& ca_file,
                       const std::string& host);

// A port that was free a moment ago (for a settings file that must name its
// port in advance; callers retry if it was taken in between).
int free_port();

// The started service: its process and what its three console lines said.
struct Service {
  std::unique_ptr<ChildProcess> process;
  std::vector<std::string> banner;  // the three lines, as printed
  int port = 0;                     // from "scheme://host:PORT" in the first line
};

// Path of the built service program.
std::filesystem::path server_program();

// Starts the service with args (after the program name) and reads its three
// console lines. Throws std::runtime_error (with the child's standard error)
// when it exits or stays silent instead.
Service start_service(const std::vector<std::string>& args);

}  // namespace halvenor::testing
