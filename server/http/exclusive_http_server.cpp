#include "server/http/exclusive_http_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <limits>
#include <list>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/listen_address.h"
#include "server/http/rate_limited_report.h"
#include "server/http/request_reader.h"

namespace halvenor::http {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int kListenBacklog = 1024;
// How often the loop looks at the stop flag and at expired deadlines.
constexpr auto kLoopTick = std::chrono::milliseconds(250);
constexpr auto kServiceInterval = std::chrono::milliseconds(500);
// A worker's reply write: one blocked send, and the whole reply.
constexpr auto kSendTimeout = std::chrono::seconds(10);
constexpr auto kReplyDeadline = std::chrono::seconds(30);
// After a reply, unread input is drained this long before closing, so the
// client is not sent a reset that could destroy the reply it has yet to read.
// Also bounds the write of the transport's own error replies.
constexpr auto kCloseGrace = std::chrono::seconds(2);
constexpr std::size_t kReadChunk = 16 * 1024;
constexpr std::size_t kWriteChunk = 64 * 1024;
constexpr int kDrainChunksPerEvent = 4;
constexpr int kMaxEventsPerWait = 256;
constexpr int kAcceptBatch = 64;
// Descriptors beyond the connections: listener, epoll, files the service opens.
constexpr std::size_t kSpareDescriptors = 256;
// Failures that only mean the client went away or stalled.
bool client_gone(int error) {
  return error == EPIPE || error == ECONNRESET || error == EAGAIN || error == EWOULDBLOCK ||
         error == ETIMEDOUT || error == ENOTCONN || error == 0;
}

void set_blocking(int fd, bool blocking) {
  const int flags = fcntl(fd, F_GETFL);
  if (flags >= 0) fcntl(fd, F_SETFL, blocking ? flags & ~O_NONBLOCK : flags | O_NONBLOCK);
}

// Raises the soft open-file limit as far as allowed and returns the soft
// limit then in force. An unlimited hard limit is not accepted as a soft one
// by Linux, so then only `wanted` is asked for.
std::size_t raise_open_file_limit(std::size_t wanted) {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return wanted;
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) != 0 && limit.rlim_cur < wanted) {
      raised.rlim_cur = limit.rlim_max == RLIM_INFINITY ? wanted : std::min<rlim_t>(wanted, limit.rlim_max);
      setrlimit(RLIMIT_NOFILE, &raised);
    }
    getrlimit(RLIMIT_NOFILE, &limit);
  }
  if (limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > std::numeric_limits<std::size_t>::max()) {
    return std::numeric_limits<std::size_t>::max();
  }
  return static_cast<std::size_t>(limit.rlim_cur);
}

// Connections that fit next to the descriptors the rest of the process needs.
std::size_t connection_table_size(std::size_t wanted, std::size_t open_file_limit) {
  const std::size_t room = open_file_limit > 2 * kSpareDescriptors ? open_file_limit - kSpareDescriptors
                                                                    : open_file_limit / 2;
  return std::max<std::size_t>(1, std::min(wanted, room));
}

std::string http_date(std::time_t when) {
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  std::tm tm{};
  gmtime_r(&when, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday],
                tm.tm_mday, kMonths[tm.tm_mon], tm.tm_year + 1900, tm.tm_hour, tm.tm_min,
                tm.tm_sec);
  return text;
}

std::string serialize(const HttpResponse& response, const std::string& server_version) {
  std::string out;
  out.reserve(256 + response.body.size());
  out.append("HTTP/1.0 ").append(std::to_string(response.status)).append(" ");
  out.append(reason_phrase(response.status)).append("\r\n");
  out.append("Server: ").append(server_version).append("\r\n");
  out.append("Date: ").append(http_date(std::time(nullptr))).append("\r\n");
  for (const auto& [name, value] : response.headers) {
    out.append(name).append(": ").append(value).append("\r\n");
  }
  out.append("\r\n").append(response.body);
  return out;
}

// The transport's own replies: protocol faults and the last-resort 500.
HttpResponse error_response(int status) {
  const std::string title = std::to_string(status) + " " + std::string(reason_phrase(status));
  HttpResponse response;
  response.status = status;
  response.body = "<!DOCTYPE html>\n<html><head><title>" + title + "</title></head><body><h1>" +
                  title + "</h1></body></html>\n";
  response.headers = {{"Content-Type", "text/html; charset=utf-8"},
                      {"Content-Length", std::to_string(response.body.size())},
                      {"Connection", "close"}};
  return response;
}

// Refuses replies that would corrupt the framing of the response.
void check_reply(const HttpResponse& response) {
  if (response.status < 100 || response.status > 599) {
    throw std::logic_error("reply status " + std::to_string(response.status) + " out of range");
  }
  for (const auto& [name, value] : response.headers) {
    if ((name + value).find_first_of("\r\n") != std::string::npos) {
      throw std::logic_error("reply header " + name + " holds a line break");
    }
  }
}

enum class Phase {
  kHandshake,  // TLS handshake in progress, waiting for the client (event loop)
  kTlsWorker,  // a TLS thread is taking the handshake's next step, and reading
               // the request when the handshake is done
  kReading,    // request being read (event loop)
  kWorker,     // owned by a worker until it hands the connection back
  kReplying,   // transport error reply being written (event loop)
  kClosing,    // reply sent; draining input until the client closes
};

struct Connection {
  int fd = -1;
  SSL* ssl = nullptr;
  std::string peer_text;  // the client's address (IPv4 text for IPv4 clients of a dual-stack listener)
  Phase phase = Phase::kReading;
  // Place among the connections still handshaking or reading, oldest first;
  // valid while `incomplete` is set.
  std::list<Connection*>::iterator queued;
  bool incomplete = false;
  Clock::time_point deadline;
  std::uint32_t watched = 0;  // epoll interest; 0 when not registered
  RequestReader reader;
  std::string reply;  // transport error reply
  std::size_t reply_sent = 0;
  bool reply_ok = false;  // set by the worker
  // Set by the TLS thread: 1 when the handshake is done, else what OpenSSL
  // waits for (SSL_ERROR_WANT_READ or _WRITE), or 0 when it failed.
  int handshake_step = 0;
  // With a TLS thread or a worker; the loop thread must not touch anything
  // else in the connection meanwhile. Loop thread only.
  bool off_loop = false;

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (ssl != nullptr) SSL_free(ssl);
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

struct ExclusiveHTTPServer::Impl {
  ServerLimits limits;
  int listen_fd = -1;
  int epoll_fd = -1;
  int wake_fd = -1;  // eventfd: workers signal finished connections
  int port = 0;
  bool accept_paused = false;
  bool closed = false;
  Handler handler;
  std::string server_version = "Halvenor";
  std::function<void()> service_action;
  std::shared_ptr<TlsContext> tls;
  // Every open connection, owned here whatever its phase; only the loop
  // thread touches this map (and close(), once the loop has stopped).
  std::unordered_map<int, std::unique_ptr<Connection>> connections;
  // Loop thread only, like the map: open connections per client address, and
  // the connections not yet handed to a worker in the order accepted, which is
  // the order they are evicted in when the table is full.
  std::unordered_map<std::string, std::size_t> per_address;
  std::list<Connection*> incomplete;
  std::size_t table_size = 0;
  RateLimitedReport report_address_cap;
  RateLimitedReport report_eviction;
  RateLimitedReport report_table_full;

  std::mutex jobs_mutex;
  std::condition_variable jobs_ready;
  std::deque<Connection*> jobs;
  bool stopping = false;
  std::vector<std::thread> workers;
  // Handshake steps wait here for a TLS thread (same mutex as `jobs`).
  std::condition_variable handshakes_ready;
  std::deque<Connection*> handshakes;
  std::vector<std::thread> tls_threads;
  std::mutex done_mutex;
  std::vector<Connection*> done;

  ~Impl() { close(); }

  void open(const std::string& bind_address, int requested_port) {
    if (!platform::canonical_listen_address(bind_address)) {
      throw std::runtime_error("Invalid IPv4 or IPv6 bind address: " + bind_address);
    }
    if (requested_port < 0 || requested_port > 65535) {
      throw std::runtime_error("Invalid port: " + std::to_string(requested_port));
    }
    std::signal(SIGPIPE, SIG_IGN);
    table_size = connection_table_size(
        limits.max_open_connections, raise_open_file_limit(limits.max_open_connections + kSpareDescriptors));
    const std::string where = bind_address + ":" + std::to_string(requested_port);
    std::string refusal;
    listen_fd = platform::open_listener(bind_address, requested_port, kListenBacklog, refusal);
    if (listen_fd < 0) throw std::runtime_error("Cannot listen on " + where + ": " + refusal);
    sockaddr_storage local{};
    auto* v4 = reinterpret_cast<sockaddr_in*>(&local);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&local);
    socklen_t length = sizeof local;
    if (getsockname(listen_fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
      throw_errno(where, "Cannot read the bound port of ");
    }
    port = ntohs(local.ss_family == AF_INET6 ? v6->sin6_port : v4->sin_port);
    epoll_fd = epoll_create1(EPOLL_CLOEXEC);
    wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (epoll_fd < 0 || wake_fd < 0 || !register_fd(listen_fd) || !register_fd(wake_fd)) {
      throw_errno(where, "Cannot set up the HTTP event loop for ");
    }
    for (std::size_t i = 0; i < std::max<std::size_t>(1, limits.worker_threads); ++i) {
      workers.emplace_back([this] { work(); });
    }
    std::size_t tls_count = limits.tls_threads;
    if (tls_count == 0) tls_count = std::max(1U, std::thread::hardware_concurrency());
    for (std::size_t i = 0; i < tls_count; ++i) {
      tls_threads.emplace_back([this] { take_handshake_steps(); });
    }
  }

  // Reads errno first: building the message may change it.
  [[noreturn]] static void throw_errno(const std::string& where, const char* what) {
    const int error = errno;
    throw std::runtime_error(std::string(what) + where + ": " + std::strerror(error));
  }

  bool register_fd(int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    return epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &event) == 0;
  }

  // ---- event loop thread ----

  void serve_until(const std::atomic<bool>& stop) {
    if (closed) throw std::runtime_error("The HTTP server is closed");
    epoll_event events[kMaxEventsPerWait];
    auto next_sweep = Clock::now() + kLoopTick;
    auto next_service = Clock::now() + kServiceInterval;
    while (!stop.load()) {
      const int count = epoll_wait(epoll_fd, events, kMaxEventsPerWait,
                                   static_cast<int>(kLoopTick.count()));
      if (count < 0 && errno != EINTR) throw_errno("", "HTTP event loop failed");
      for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == listen_fd) {
          accept_ready();
        } else if (fd == wake_fd) {
          take_back_finished();
        } else if (auto found = connections.find(fd); found != connections.end()) {
          advance(*found->second);
        }
      }
      const auto now = Clock::now();
      if (now >= next_sweep) {
        next_sweep = now + kLoopTick;
        sweep(now);
      }
      if (now >= next_service) {
        next_service = now + kServiceInterval;
        if (service_action) service_action();
      }
    }
  }

  void accept_ready() {
    for (int i = 0; i < kAcceptBatch; ++i) {
      sockaddr_storage remote{};
      socklen_t remote_length = sizeof remote;
      const int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&remote), &remote_length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        // Out of descriptors or memory: stop accepting for a tick instead of
        // spinning on a listener that stays readable.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          accept_paused = epoll_ctl(epoll_fd, EPOLL_CTL_DEL, listen_fd, nullptr) == 0;
        }
        return;
      }
      const std::string peer = address_text(remote);
      if (const auto held = per_address.find(peer);
          held != per_address.end() && held->second >= limits.max_connections_per_address) {
        ::close(fd);
        report_address_cap("refusing connections from " + peer + ": it holds " +
                           std::to_string(held->second) + ", the most one address may");
        continue;
      }
      if (connections.size() >= table_size && !evict_oldest_incomplete()) {
        ::close(fd);
        report_table_full("connection table full (" + std::to_string(table_size) +
                          ") with every request being answered; refusing " + peer);
        continue;
      }
      auto connection = std::make_unique<Connection>();
      connection->fd = fd;
      connection->peer_text = peer;
      connection->deadline = Clock::now() + limits.read_deadline;
      if (tls) {
        connection->ssl = SSL_new(tls->ssl_ctx().get());
        if (connection->ssl == nullptr || SSL_set_fd(connection->ssl, fd) != 1) {
          ERR_clear_error();
          continue;
        }
        SSL_set_accept_state(connection->ssl);
        connection->phase = Phase::kHandshake;
      }
      Connection& added = *connection;
      connections.emplace(fd, std::move(connection));
      ++per_address[peer];
      added.queued = incomplete.insert(incomplete.end(), &added);
      added.incomplete = true;
      wait_for(added, EPOLLIN);
    }
  }

  // IPv4 clients of a dual-stack listener arrive as ::ffff:a.b.c.d; they are
  // named (and counted) by their IPv4 address, as on an IPv4 listener.
  static std::string address_text(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
      inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
      return text;
    }
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
    } else {
      inet_ntop(AF_INET6, &v6, text, sizeof text);
    }
    return text;
  }

  // Makes room for a new connection at the cost of the one that has taken
  // longest over its request: an idle flood is thereby pushed out by live
  // clients instead of locking them out. Requests already with a worker, and
  // replies being written, are never cut.
  bool evict_oldest_incomplete() {
    // A connection with a TLS thread is in use there; it is passed over
    // (there are at most as many as handshakes queued) and keeps its place.
    auto candidate = incomplete.begin();
    while (candidate != incomplete.end() && (*candidate)->off_loop) ++candidate;
    if (candidate == incomplete.end()) return false;
    Connection& oldest = **candidate;
    report_eviction("connection table full (" + std::to_string(table_size) +
                    "); closing the oldest unfinished request, from " + oldest.peer_text);
    drop(oldest);
    return true;
  }

  // The connection is past reading its request, so no longer evictable.
  void completed(Connection& c) {
    if (!c.incomplete) return;
    incomplete.erase(c.queued);
    c.incomplete = false;
  }

  void advance(Connection& c) {
    switch (c.phase) {
      case Phase::kHandshake: return hand_to_tls_thread(c);
      case Phase::kReading: return read_request(c);
      case Phase::kReplying: return write_error_reply(c);
      case Phase::kClosing: return drain(c);
      case Phase::kWorker:
      case Phase::kTlsWorker: return;
    }
  }

  // Watches `events` on the connection; drops it if that fails.
  void wait_for(Connection& c, std::uint32_t events) {
    if (c.watched == events) return;
    epoll_event event{};
    event.events = events;
    event.data.fd = c.fd;
    if (epoll_ctl(epoll_fd, c.watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, c.fd, &event) != 0) {
      return drop(c);
    }
    c.watched = events;
  }

  void unwatch(Connection& c) {
    if (c.watched != 0) epoll_ctl(epoll_fd, EPOLL_CTL_DEL, c.fd, nullptr);
    c.watched = 0;
  }

  void drop(Connection& c) {
    unwatch(c);
    completed(c);
    if (auto held = per_address.find(c.peer_text); held != per_address.end() && --held->second == 0) {
      per_address.erase(held);
    }
    connections.erase(c.fd);  // closes the socket
  }

  // Waits as OpenSSL asks after a call that could not finish; drops the
  // connection on any other outcome.
  void wait_for_tls(Connection& c, int result) {
    const int error = SSL_get_error(c.ssl, result);
    ERR_clear_error();
    if (error == SSL_ERROR_WANT_READ) return wait_for(c, EPOLLIN);
    if (error == SSL_ERROR_WANT_WRITE) return wait_for(c, EPOLLOUT);
    drop(c);
  }

  // The key exchange and signature of a handshake are the costliest work the
  // service does per connection; taking them off the loop thread spreads them
  // over every core and keeps the loop free to accept and read.
  void hand_to_tls_thread(Connection& c) {
    unwatch(c);
    c.phase = Phase::kTlsWorker;
    c.off_loop = true;
    {
      std::lock_guard lock(jobs_mutex);
      handshakes.push_back(&c);
    }
    handshakes_ready.notify_one();
  }

  // Back from a TLS thread that did not pass the connection on to a worker.
  void handshake_step_taken(Connection& c) {
    c.phase = Phase::kHandshake;
    if (c.handshake_step == SSL_ERROR_WANT_READ) return wait_for(c, EPOLLIN);
    if (c.handshake_step == SSL_ERROR_WANT_WRITE) return wait_for(c, EPOLLOUT);
    if (c.handshake_step != 1) return drop(c);
    c.phase = Phase::kReading;
    if (c.reader.state() == RequestReader::State::kFailed) {
      return start_error_reply(c, c.reader.error_status());
    }
    read_request(c);
  }

  enum class Pulled { kComplete, kFailed, kWantRead, kWantWrite, kGone };

  // Feeds the reader with whatever the client has sent so far. Touches only
  // the connection, so a TLS thread may call it for one it holds.
  static Pulled pull(Connection& c) {
    char buffer[kReadChunk];
    for (;;) {
      std::size_t received = 0;
      if (c.ssl != nullptr) {
        ERR_clear_error();
        const int result = SSL_read(c.ssl, buffer, sizeof buffer);
        if (result <= 0) {
          const int error = SSL_get_error(c.ssl, result);
          ERR_clear_error();
          if (error == SSL_ERROR_WANT_READ) return Pulled::kWantRead;
          if (error == SSL_ERROR_WANT_WRITE) return Pulled::kWantWrite;
          if (error != SSL_ERROR_ZERO_RETURN) return Pulled::kGone;
        }
        received = result > 0 ? static_cast<std::size_t>(result) : 0;
      } else {
        const ssize_t result = recv(c.fd, buffer, sizeof buffer, 0);
        if (result < 0) {
          if (errno == EINTR) continue;
          if (errno == EAGAIN || errno == EWOULDBLOCK) return Pulled::kWantRead;
          return Pulled::kGone;
        }
        received = static_cast<std::size_t>(result);
      }
      const auto state = received == 0 ? c.reader.finish()
                                       : c.reader.feed(std::string_view(buffer, received));
      if (state == RequestReader::State::kComplete) return Pulled::kComplete;
      if (state == RequestReader::State::kFailed) return Pulled::kFailed;
      if (received == 0) return Pulled::kGone;  // closed without sending anything
    }
  }

  void read_request(Connection& c) {
    switch (pull(c)) {
      case Pulled::kComplete: return dispatch(c);
      case Pulled::kFailed: return start_error_reply(c, c.reader.error_status());
      case Pulled::kWantRead: return wait_for(c, EPOLLIN);
      case Pulled::kWantWrite: return wait_for(c, EPOLLOUT);
      case Pulled::kGone: return drop(c);
    }
  }

  void dispatch(Connection& c) {
    unwatch(c);
    completed(c);
    c.off_loop = true;
    queue_for_worker(&c);
  }

  void queue_for_worker(Connection* c) {
    c->phase = Phase::kWorker;
    {
      std::lock_guard lock(jobs_mutex);
      jobs.push_back(c);
    }
    jobs_ready.notify_one();
  }

  void start_error_reply(Connection& c, int status) {
    completed(c);
    c.reply = serialize(error_response(status), server_version);
    c.reply_sent = 0;
    c.phase = Phase::kReplying;
    c.deadline = Clock::now() + kCloseGrace;
    write_error_reply(c);
  }

  void write_error_reply(Connection& c) {
    while (c.reply_sent < c.reply.size()) {
      const char* data = c.reply.data() + c.reply_sent;
      const std::size_t length = c.reply.size() - c.reply_sent;
      if (c.ssl != nullptr) {
        ERR_clear_error();
        const int result = SSL_write(c.ssl, data, static_cast<int>(length));
        if (result <= 0) return wait_for_tls(c, result);
        c.reply_sent += static_cast<std::size_t>(result);
      } else {
        const ssize_t result = send(c.fd, data, length, MSG_NOSIGNAL);
        if (result < 0) {
          if (errno == EINTR) continue;
          if (errno == EAGAIN || errno == EWOULDBLOCK) return wait_for(c, EPOLLOUT);
          return drop(c);
        }
        c.reply_sent += static_cast<std::size_t>(result);
      }
    }
    begin_close(c);
  }

  void begin_close(Connection& c) {
    if (c.ssl != nullptr) {
      ERR_clear_error();
      SSL_shutdown(c.ssl);  // close_notify, best effort
      ERR_clear_error();
    }
    ::shutdown(c.fd, SHUT_WR);
    c.phase = Phase::kClosing;
    c.deadline = Clock::now() + kCloseGrace;
    wait_for(c, EPOLLIN);
  }

  void drain(Connection& c) {
    char buffer[kReadChunk];
    for (int i = 0; i < kDrainChunksPerEvent; ++i) {
      const ssize_t result = recv(c.fd, buffer, sizeof buffer, 0);
      if (result > 0) continue;
      if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
      return drop(c);
    }
  }

  void sweep(Clock::time_point now) {
    if (accept_paused) accept_paused = !register_fd(listen_fd);
    std::vector<Connection*> expired;
    for (const auto& [fd, c] : connections) {
      if (!c->off_loop && now >= c->deadline) expired.push_back(c.get());
    }
    for (Connection* c : expired) {
      // Only a client that started an HTTP request is owed an answer.
      if (c->phase == Phase::kReading && c->reader.started()) {
        start_error_reply(*c, 408);
      } else {
        drop(*c);
      }
    }
  }

  void take_back_finished() {
    std::uint64_t count = 0;
    if (read(wake_fd, &count, sizeof count) < 0) count = 0;
    std::vector<Connection*> finished;
    {
      std::lock_guard lock(done_mutex);
      finished.swap(done);
    }
    for (Connection* c : finished) {
      c->off_loop = false;
      if (c->phase == Phase::kTlsWorker) {
        handshake_step_taken(*c);
        continue;
      }
      completed(*c);  // when a TLS thread passed it straight to a worker
      if (!c->reply_ok) {
        drop(*c);
        continue;
      }
      set_blocking(c->fd, false);
      begin_close(*c);
    }
  }

  // ---- TLS threads ----

  // The next connection queued for this kind of thread; nullptr once the
  // server stops.
  Connection* next_from(std::deque<Connection*>& queue, std::condition_variable& ready) {
    std::unique_lock lock(jobs_mutex);
    ready.wait(lock, [&] { return stopping || !queue.empty(); });
    if (stopping) return nullptr;
    Connection* c = queue.front();
    queue.pop_front();
    return c;
  }

  void take_handshake_steps() {
    while (Connection* c = next_from(handshakes, handshakes_ready)) {
      ERR_clear_error();
      const int result = SSL_do_handshake(c->ssl);
      if (result == 1) {
        c->handshake_step = 1;
        // The request usually comes with the client's last handshake message;
        // a complete one goes to a worker without a detour through the loop.
        if (pull(*c) == Pulled::kComplete) {
          queue_for_worker(c);
          continue;
        }
      } else {
        const int error = SSL_get_error(c->ssl, result);
        c->handshake_step = error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE ? error : 0;
      }
      ERR_clear_error();
      hand_back(c);
    }
  }

  // Returns a connection to the loop thread.
  void hand_back(Connection* c) {
    {
      std::lock_guard lock(done_mutex);
      done.push_back(c);
    }
    const std::uint64_t one = 1;
    if (write(wake_fd, &one, sizeof one) < 0) report("cannot wake the HTTP event loop");
  }

  // ---- worker threads ----

  void work() {
    while (Connection* c = next_from(jobs, jobs_ready)) {
      try {
        c->reply_ok = answer(*c);
      } catch (...) {  // out of memory building the reply
        c->reply_ok = false;
      }
      hand_back(c);
    }
  }

  bool answer(Connection& c) {
    HttpRequest request = c.reader.take_request();
    request.peer = c.peer_text;
    HttpResponse response;
    try {
      if (!handler) throw std::logic_error("no request handler set");
      response = handler(request);
      check_reply(response);
    } catch (const std::exception& error) {
      report(std::string("request handler failed: ") + error.what());
      response = error_response(500);
    } catch (...) {
      report("request handler failed");
      response = error_response(500);
    }
    return write_reply(c, serialize(response, server_version));
  }

  // Blocking write, bounded per send and in total.
  static bool write_reply(Connection& c, const std::string& bytes) {
    set_blocking(c.fd, true);
    const timeval timeout{static_cast<time_t>(kSendTimeout.count()), 0};
    setsockopt(c.fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    setsockopt(c.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    const auto deadline = Clock::now() + kReplyDeadline;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      if (Clock::now() >= deadline) return false;
      const std::size_t length = std::min(kWriteChunk, bytes.size() - sent);
      if (c.ssl != nullptr) {
        ERR_clear_error();
        const int result = SSL_write(c.ssl, bytes.data() + sent, static_cast<int>(length));
        if (result <= 0) {
          if (SSL_get_error(c.ssl, result) == SSL_ERROR_SYSCALL && !client_gone(errno)) {
            report(std::string("TLS reply write failed: ") + std::strerror(errno));
          }
          ERR_clear_error();
          return false;
        }
        sent += static_cast<std::size_t>(result);
      } else {
        const ssize_t result = send(c.fd, bytes.data() + sent, length, MSG_NOSIGNAL);
        if (result < 0) {
          if (errno == EINTR) continue;
          if (!client_gone(errno)) report(std::string("reply write failed: ") + std::strerror(errno));
          return false;
        }
        sent += static_cast<std::size_t>(result);
      }
    }
    return true;
  }

  // ---- shutdown ----

  void close() noexcept {
    if (closed) return;
    closed = true;
    if (listen_fd >= 0) ::close(listen_fd);
    {
      std::lock_guard lock(jobs_mutex);
      stopping = true;
      jobs.clear();
      handshakes.clear();
    }
    // Cut short replies and handshakes that are blocked on a client; the
    // sockets stay open until the workers and TLS threads are gone.
    for (const auto& [fd, c] : connections) {
      if (c->off_loop) ::shutdown(fd, SHUT_RDWR);
    }
    jobs_ready.notify_all();
    handshakes_ready.notify_all();
    for (std::thread& worker : workers) {
      if (worker.joinable()) worker.join();
    }
    for (std::thread& thread : tls_threads) {
      if (thread.joinable()) thread.join();
    }
    done.clear();
    incomplete.clear();
    per_address.clear();
    connections.clear();
    if (epoll_fd >= 0) ::close(epoll_fd);
    if (wake_fd >= 0) ::close(wake_fd);
    listen_fd = epoll_fd = wake_fd = -1;
  }
};

ExclusiveHTTPServer::ExclusiveHTTPServer(const std::string& bind_address, int port,
                                         ServerLimits limits)
    : impl_(std::make_unique<Impl>()) {
  impl_->limits = limits;
  impl_->open(bind_address, port);  // on failure impl_ is destroyed, which closes
}

ExclusiveHTTPServer::~ExclusiveHTTPServer() { close(); }

int ExclusiveHTTPServer::port() const { return impl_->port; }

void ExclusiveHTTPServer::set_handler(Handler handler) { impl_->handler = std::move(handler); }

void ExclusiveHTTPServer::set_server_version(std::string version) {
  impl_->server_version = std::move(version);
}

void ExclusiveHTTPServer::set_service_action(std::function<void()> action) {
  impl_->service_action = std::move(action);
}

void ExclusiveHTTPServer::enable_tls(std::shared_ptr<TlsContext> context) {
  impl_->tls = std::move(context);
}

std::shared_ptr<TlsContext> ExclusiveHTTPServer::tls_context() const { return impl_->tls; }

void ExclusiveHTTPServer::serve_until(const std::atomic<bool>& stop) { impl_->serve_until(stop); }

void ExclusiveHTTPServer::close() noexcept { impl_->close(); }

}  // namespace halvenor::http
