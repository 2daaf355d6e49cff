#include "tests/process/process_support.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace halvenor::testing {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kReadChunk = 16 * 1024;
constexpr int kPollSliceMs = 100;

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

void set_receive_timeout(int fd) {
  timeval tv{};
  tv.tv_sec = kReplyTimeout.count();
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Splits a complete HTTP/1.x reply into status, headers and body.
HttpReply parse_reply(const std::string& raw) {
  HttpReply reply;
  auto head_end = raw.find("\r\n\r\n");
  if (head_end == std::string::npos) throw std::runtime_error("reply without a complete header: " + raw);
  std::string head = raw.substr(0, head_end);
  reply.body = raw.substr(head_end + 4);
  std::size_t line_end = head.find("\r\n");
  reply.status_line = head.substr(0, line_end);
  if (reply.status_line.size() < 12 || reply.status_line.compare(0, 5, "HTTP/") != 0)
    throw std::runtime_error("not an HTTP status line: " + reply.status_line);
  reply.status = std::stoi(reply.status_line.substr(9, 3));
  while (line_end != std::string::npos) {
    std::size_t start = line_end + 2;
    line_end = head.find("\r\n", start);
    std::string line = head.substr(start, line_end == std::string::npos ? std::string::npos : line_end - start);
    auto colon = line.find(':');
    if (colon == std::string::npos) throw std::runtime_error("malformed header line: " + line);
    std::string value = line.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    reply.headers.emplace_back(line.substr(0, colon), value);
  }
  return reply;
}

void send_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("send");
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() { ::close(fd_); }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  int fd_;
};

std::string openssl_error(const std::string& what) {
  std::string text = what;
  while (unsigned long code = ERR_get_error()) {
    char buffer[256];
    ERR_error_string_n(code, buffer, sizeof buffer);
    text += std::string("; ") + buffer;
  }
  return text;
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0) fail("pipe2");
  if (pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    fail("pipe2");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  stdout_fd_ = out[0];
  stderr_fd_ = err[0];
  if (rc != 0) {
    ::close(stdout_fd_);
    ::close(stderr_fd_);
    errno = rc;
    fail("posix_spawn " + argv[0]);
  }
}

ChildProcess::~ChildProcess() {
  if (!reaped_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  if (stdout_fd_ >= 0) ::close(stdout_fd_);
  if (stderr_fd_ >= 0) ::close(stderr_fd_);
}

void ChildProcess::send_signal(int signal) const {
  if (!reaped_) ::kill(pid_, signal);
}

// Reads whatever either pipe holds, waiting at most timeout_ms for the first byte.
void ChildProcess::drain(int timeout_ms) {
  pollfd fds[2] = {{stdout_fd_, POLLIN, 0}, {stderr_fd_, POLLIN, 0}};
  if (::poll(fds, 2, timeout_ms) <= 0) return;
  char buffer[kReadChunk];
  for (auto& p : fds) {
    if (p.fd < 0 || !(p.revents & (POLLIN | POLLHUP | POLLERR))) continue;
    ssize_t n = ::read(p.fd, buffer, sizeof buffer);
    std::string& sink = p.fd == stdout_fd_ ? stdout_buffer_ : stderr_text_;
    if (n > 0) {
      sink.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      ::close(p.fd);
      (p.fd == stdout_fd_ ? stdout_fd_ : stderr_fd_) = -1;
    }
  }
}

std::optional<std::string> ChildProcess::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    auto newline = stdout_buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = stdout_buffer_.substr(0, newline);
      stdout_buffer_.erase(0, newline + 1);
      return line;
    }
    if (stdout_fd_ < 0 || Clock::now() >= deadline) return std::nullopt;
    drain(std::min(kPollSliceMs, remaining_ms(deadline)));
  }
}

std::optional<int> ChildProcess::wait_exit(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (!reaped_) {
    int status = 0;
    pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      reaped_ = true;
      // The pipes hold whatever was written before the exit.
      while (stdout_fd_ >= 0 || stderr_fd_ >= 0) drain(kPollSliceMs);
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      return 128 + WTERMSIG(status);
    }
    if (Clock::now() >= deadline) return std::nullopt;
    if (stdout_fd_ >= 0 || stderr_fd_ >= 0)
      drain(kPollSliceMs);
    else
      ::usleep(kPollSliceMs * 1000);
  }
  return std::nullopt;
}

std::optional<std::string> HttpReply::header(std::string_view name) const {
  for (const auto& [n, v] : headers)
    if (iequals(n, name)) return v;
  return std::nullopt;
}

std::vector<std::string> HttpReply::header_names() const {
  std::vector<std::string> names;
  for (const auto& h : headers) names.push_back(h.first);
  return names;
}

Json HttpReply::json() const { return json::parse_text(body); }

std::string raw_request(const std::string& method, const std::string& target,
                        const std::vector<std::pair<std::string, std::string>>& headers, const std::string& body) {
  std::string text = method + " " + target + " HTTP/1.0\r\n";
  for (const auto& [name, value] : headers) text += name + ": " + value + "\r\n";
  return text + "\r\n" + body;
}

int connect_loopback(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket");
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    int saved = errno;
    ::close(fd);
    errno = saved;
    fail("connect to port " + std::to_string(port));
  }
  set_receive_timeout(fd);
  return fd;
}

HttpReply http_exchange(int port, std::string_view request) {
  int fd = connect_loopback(port);
  FdCloser closer(fd);
  send_all(fd, request);
  std::string raw;
  char buffer[kReadChunk];
  for (;;) {
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("recv");
    }
    raw.append(buffer, static_cast<std::size_t>(n));
  }
  return parse_reply(raw);
}

HttpReply https_exchange(int port, std::string_view request, const fs::path& ca_file, const std::string& host) {
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  if (!ctx) throw std::runtime_error(openssl_error("SSL_CTX_new"));
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  if (SSL_CTX_load_verify_locations(ctx.get(), ca_file.c_str(), nullptr) != 1)
    throw std::runtime_error(openssl_error("cannot load " + ca_file.string()));
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);

  int fd = connect_loopback(port);
  FdCloser closer(fd);
  std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(ctx.get()), SSL_free);
  SSL_set_fd(ssl.get(), fd);
  X509_VERIFY_PARAM* param = SSL_get0_param(ssl.get());
  if (X509_VERIFY_PARAM_set1_ip_asc(param, host.c_str()) != 1) {
    ERR_clear_error();  // not an address: check it as a DNS name
    SSL_set_tlsext_host_name(ssl.get(), host.c_str());
    SSL_set1_host(ssl.get(), host.c_str());
  }
  if (SSL_connect(ssl.get()) != 1)
    throw std::runtime_error(openssl_error("TLS handshake failed, verify result " +
                                           std::to_string(SSL_get_verify_result(ssl.get()))));
  while (!request.empty()) {
    int n = SSL_write(ssl.get(), request.data(), static_cast<int>(request.size()));
    if (n <= 0) throw std::runtime_error(openssl_error("SSL_write"));
    request.remove_prefix(static_cast<std::size_t>(n));
  }
  std::string raw;
  char buffer[kReadChunk];
  for (;;) {
    int n = SSL_read(ssl.get(), buffer, sizeof buffer);
    if (n > 0) {
      raw.append(buffer, static_cast<std::size_t>(n));
      continue;
    }
    int error = SSL_get_error(ssl.get(), n);
    ERR_clear_error();
    // A server that closes without close_notify still ends an HTTP/1.0 reply.
    if (error == SSL_ERROR_ZERO_RETURN || error == SSL_ERROR_SYSCALL || error == SSL_ERROR_SSL) break;
    throw std::runtime_error("SSL_read failed: " + std::to_string(error));
  }
  return parse_reply(raw);
}

int free_port() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) fail("socket");
  FdCloser closer(fd);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) fail("bind");
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) fail("getsockname");
  return ntohs(address.sin_port);
}

fs::path server_program() { return fs::path(HALVENOR_DIST_DIR) / "server"; }

Service start_service(const std::vector<std::string>& args) {
  std::vector<std::string> argv{server_program().string()};
  argv.insert(argv.end(), args.begin(), args.end());
  Service service;
  service.process = std::make_unique<ChildProcess>(argv);
  for (int i = 0; i < 3; ++i) {
    auto line = service.process->read_line();
    if (!line) {
      service.process->send_signal(SIGKILL);
      service.process->wait_exit();
      throw std::runtime_error("the service printed no start-up line " + std::to_string(i + 1) +
                               "; standard error: " + service.process->error_text());
    }
    service.banner.push_back(*line);
  }
  // "...: http://127.0.0.1:PORT | ..." gives the port actually bound.
  const std::string& first = service.banner[0];
  auto scheme_end = first.find("://");
  auto bar = first.find(" | ", scheme_end);
  auto colon = first.rfind(':', bar);
  if (scheme_end == std::string::npos || bar == std::string::npos || colon == std::string::npos || colon < scheme_end)
    throw std::runtime_error("unexpected first console line: " + first);
  service.port = std::stoi(first.substr(colon + 1, bar - colon - 1));
  return service;
}

}  // namespace halvenor::testing
