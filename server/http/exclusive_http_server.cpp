#include "server/http/exclusive_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <poll.h>
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
#include <exception>
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
constexpr std::size_t kReadChunk = std::size_t{16} * 1024;
constexpr std::size_t kWriteChunk = std::size_t{64} * 1024;
constexpr int kDrainChunksPerEvent = 16;
constexpr int kMaxEventsPerWait = 256;
constexpr int kAcceptBatch = 64;
// Descriptors beyond the connections: listener, epoll, files the service opens.
constexpr std::size_t kSpareDescriptors = 256;
// Failures that only mean the client went away or stalled.
bool client_gone(int error) {
  return error == EPIPE || error == ECONNRESET || error == EAGAIN || error == EWOULDBLOCK ||
         error == ETIMEDOUT || error == ENOTCONN || error == 0;
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
  kHandshake,  // TLS handshake in progress
  kReading,    // request being read
  kWorker,     // owned by a worker until it hands the connection back
  kReplying,   // transport error reply being written
  kClosing,    // reply sent; draining input until the client closes
};

struct EventLoop;

struct Connection {
  int fd = -1;
  SSL* ssl = nullptr;
  std::string peer_text;  // the client's address (IPv4 text for IPv4 clients of a dual-stack listener)
  EventLoop* loop = nullptr;  // the loop that accepted it, the only one to touch it off the table
  std::uint64_t serial = 0;   // tells a connection from a later one on the same descriptor number
  Phase phase = Phase::kReading;
  Clock::time_point deadline;
  RequestReader reader;
  std::string reply;  // transport error reply
  std::size_t reply_sent = 0;
  bool reply_ok = false;  // set by the worker
  // With a worker; its loop must not touch anything else in the connection
  // meanwhile. Its loop's thread only.
  bool off_loop = false;
  // Under the connection table's mutex: the place among the connections not
  // yet handed to a worker, oldest first (valid while `incomplete`), and
  // whether another loop evicted it, which takes it off the table at once;
  // its own loop then closes it on sight.
  std::list<Connection*>::iterator queued;
  bool incomplete = false;
  bool evicted = false;

  Connection() = default;
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  ~Connection() {
    if (ssl != nullptr) SSL_free(ssl);
    if (fd >= 0) ::close(fd);
  }
};

// One of the event loops (one per core): it accepts from the shared listener,
// takes the TLS handshakes and reads the requests of its own connections, so
// handshakes use every core without a connection changing threads on the
// way. Each connection stays registered, edge-triggered, from accept to
// close: no epoll call per step.
struct EventLoop {
  int epoll_fd = -1;
  int wake_fd = -1;  // eventfd: workers and other loops have left work in the inbox
  bool accept_paused = false;
  std::unordered_map<int, std::unique_ptr<Connection>> connections;  // this loop's thread only
  std::mutex inbox_mutex;
  std::vector<Connection*> finished;  // answered by a worker
  std::vector<std::pair<int, std::uint64_t>> evictions;  // (fd, serial) evicted by another loop

  EventLoop() = default;
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;
  ~EventLoop() {
    connections.clear();
    if (epoll_fd >= 0) ::close(epoll_fd);
    if (wake_fd >= 0) ::close(wake_fd);
  }

  // Leaves work for this loop's thread; `add` runs under the inbox lock.
  // Wakes the loop only when the inbox was empty: otherwise a wake-up is
  // already on its way, and the loop reads the eventfd before it empties the
  // inbox.
  template <typename Add>
  void post(Add add) {
    bool was_empty = false;
    {
      std::lock_guard lock(inbox_mutex);
      was_empty = finished.empty() && evictions.empty();
      add();
    }
    const std::uint64_t one = 1;
    if (was_empty && write(wake_fd, &one, sizeof one) < 0) report("cannot wake an HTTP event loop");
  }
};

}  // namespace

struct ExclusiveHTTPServer::Impl {
  ServerLimits limits;
  int listen_fd = -1;
  int port = 0;
  bool closed = false;
  Handler handler;
  std::string server_version = "Halvenor";
  std::function<void()> service_action;
  std::shared_ptr<TlsContext> tls;
  std::vector<std::unique_ptr<EventLoop>> loops;

  // The connection table, shared by the loops: open connections in all, per
  // client address, and those not yet handed to a worker in the order
  // accepted, which is the order they are evicted in when the table is full.
  std::mutex table_mutex;
  std::size_t table_size = 0;
  std::size_t open_count = 0;
  std::unordered_map<std::string, std::size_t> per_address;
  std::list<Connection*> incomplete;
  std::uint64_t next_serial = 1;
  RateLimitedReport report_address_cap;
  RateLimitedReport report_eviction;
  RateLimitedReport report_table_full;

  std::mutex jobs_mutex;
  std::condition_variable jobs_ready;
  std::deque<Connection*> jobs;
  bool stopping = false;
  std::vector<std::thread> workers;

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
    std::size_t loop_count = limits.event_loops;
    if (loop_count == 0) loop_count = std::max(1U, std::thread::hardware_concurrency());
    for (std::size_t i = 0; i < loop_count; ++i) {
      auto loop = std::make_unique<EventLoop>();
      loop->epoll_fd = epoll_create1(EPOLL_CLOEXEC);
      loop->wake_fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
      if (loop->epoll_fd < 0 || loop->wake_fd < 0 || !watch_listener(*loop) ||
          !watch(*loop, loop->wake_fd, EPOLLIN)) {
        throw_errno(where, "Cannot set up the HTTP event loop for ");
      }
      loops.push_back(std::move(loop));
    }
    for (std::size_t i = 0; i < std::max<std::size_t>(1, limits.worker_threads); ++i) {
      workers.emplace_back([this] { work(); });
    }
  }

  // Reads errno first: building the message may change it.
  [[noreturn]] static void throw_errno(const std::string& where, const char* what) {
    const int error = errno;
    throw std::runtime_error(std::string(what) + where + ": " + std::strerror(error));
  }

  static bool watch(EventLoop& loop, int fd, std::uint32_t events) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    return epoll_ctl(loop.epoll_fd, EPOLL_CTL_ADD, fd, &event) == 0;
  }

  // Every loop waits on the listener; a new connection wakes one of them.
  bool watch_listener(EventLoop& loop) const { return watch(loop, listen_fd, EPOLLIN | EPOLLEXCLUSIVE); }

  // ---- event loops ----

  void serve_until(const std::atomic<bool>& stop) {
    if (closed) throw std::runtime_error("The HTTP server is closed");
    std::atomic<bool> halt{false};
    std::mutex failure_mutex;
    std::exception_ptr failure;
    const auto run = [&](EventLoop& loop, bool with_service) {
      try {
        run_loop(loop, stop, halt, with_service);
      } catch (...) {
        std::lock_guard lock(failure_mutex);
        if (!failure) failure = std::current_exception();
        halt = true;
      }
    };
    std::vector<std::thread> others;
    for (std::size_t i = 1; i < loops.size(); ++i) {
      others.emplace_back(run, std::ref(*loops[i]), false);
    }
    run(*loops.front(), true);
    for (std::thread& thread : others) thread.join();
    if (failure) std::rethrow_exception(failure);
  }

  void run_loop(EventLoop& loop, const std::atomic<bool>& stop, const std::atomic<bool>& halt,
                bool with_service) {
    epoll_event events[kMaxEventsPerWait];
    auto next_sweep = Clock::now() + kLoopTick;
    auto next_service = Clock::now() + kServiceInterval;
    while (!stop.load() && !halt.load()) {
      const int count = epoll_wait(loop.epoll_fd, events, kMaxEventsPerWait,
                                   static_cast<int>(kLoopTick.count()));
      if (count < 0 && errno != EINTR) throw_errno("", "HTTP event loop failed");
      for (int i = 0; i < count; ++i) {
        const int fd = events[i].data.fd;
        if (fd == listen_fd) {
          accept_ready(loop);
        } else if (fd == loop.wake_fd) {
          take_inbox(loop);
        } else if (auto found = loop.connections.find(fd); found != loop.connections.end()) {
          advance(loop, *found->second);
        }
      }
      const auto now = Clock::now();
      if (now >= next_sweep) {
        next_sweep = now + kLoopTick;
        sweep(loop, now);
      }
      if (with_service && now >= next_service) {
        next_service = now + kServiceInterval;
        if (service_action) service_action();
      }
    }
  }

  void accept_ready(EventLoop& loop) {
    for (int i = 0; i < kAcceptBatch; ++i) {
      if (!accept_one(loop)) return;
    }
  }

  // Accepts one connection and puts it on the table, unless its address
  // holds its share already or the table is full of requests being answered.
  // A full table makes room at the cost of the connection that has taken
  // longest over its request: an idle flood is thereby pushed out by live
  // clients instead of locking them out. Requests already with a worker, and
  // replies being written, are never cut. False when there is nothing more to
  // accept for now.
  bool accept_one(EventLoop& loop) {
    auto connection = std::make_unique<Connection>();
    Connection& c = *connection;
    EventLoop* victim_loop = nullptr;
    std::pair<int, std::uint64_t> victim_id;
    std::string victim_peer;
    std::size_t held = 0;
    {
      // Accepting under the table's lock keeps the table in the order the
      // kernel queued the connections, whichever loop takes them.
      std::lock_guard lock(table_mutex);
      sockaddr_storage remote{};
      socklen_t remote_length = sizeof remote;
      const int fd = accept4(listen_fd, reinterpret_cast<sockaddr*>(&remote), &remote_length,
                             SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) return true;
        // Out of descriptors or memory: stop accepting for a tick instead of
        // spinning on a listener that stays readable.
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
          loop.accept_paused = epoll_ctl(loop.epoll_fd, EPOLL_CTL_DEL, listen_fd, nullptr) == 0;
        }
        return false;
      }
      c.fd = fd;
      c.peer_text = address_text(remote);
      c.loop = &loop;
      c.serial = next_serial++;
      c.deadline = Clock::now() + limits.read_deadline;
      if (const auto found = per_address.find(c.peer_text); found != per_address.end()) held = found->second;
      if (held < limits.max_connections_per_address && open_count >= table_size && !incomplete.empty()) {
        Connection& oldest = *incomplete.front();
        victim_loop = oldest.loop;
        victim_id = {oldest.fd, oldest.serial};
        victim_peer = oldest.peer_text;
        uncount(oldest);
        oldest.evicted = true;
      }
      if (held < limits.max_connections_per_address && open_count < table_size) {
        ++open_count;
        ++per_address[c.peer_text];
        c.queued = incomplete.insert(incomplete.end(), &c);
        c.incomplete = true;
      }
    }
    if (victim_loop != nullptr) {
      report_eviction("connection table full (" + std::to_string(table_size) +
                      "); closing the oldest unfinished request, from " + victim_peer);
      if (victim_loop == &loop) {
        close_evicted(loop, victim_id);
      } else {
        victim_loop->post([&] { victim_loop->evictions.push_back(victim_id); });
      }
    }
    if (!c.incomplete) {
      if (held >= limits.max_connections_per_address) {
        report_address_cap("refusing connections from " + c.peer_text + ": it holds " + std::to_string(held) +
                           ", the most one address may");
      } else {
        report_table_full("connection table full (" + std::to_string(table_size) +
                          ") with every request being answered; refusing " + c.peer_text);
      }
      return true;  // closes the socket
    }
    loop.connections.emplace(c.fd, std::move(connection));
    if (tls) {
      c.ssl = SSL_new(tls->ssl_ctx().get());
      if (c.ssl == nullptr || SSL_set_fd(c.ssl, c.fd) != 1) {
        ERR_clear_error();
        drop(loop, c);
        return true;
      }
      SSL_set_accept_state(c.ssl);
      c.phase = Phase::kHandshake;
    }
    if (!watch(loop, c.fd, EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET)) drop(loop, c);
    return true;
  }

  // Takes a connection off the table. Under the table's mutex.
  void uncount(Connection& c) {
    if (c.incomplete) {
      incomplete.erase(c.queued);
      c.incomplete = false;
    }
    --open_count;
    if (auto found = per_address.find(c.peer_text); found != per_address.end() && --found->second == 0) {
      per_address.erase(found);
    }
  }

  void close_evicted(EventLoop& loop, std::pair<int, std::uint64_t> id) {
    const auto found = loop.connections.find(id.first);
    if (found != loop.connections.end() && found->second->serial == id.second) drop(loop, *found->second);
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

  // The request has been read (or refused): the connection can no longer be
  // evicted. False when another loop evicted it first.
  bool completed(Connection& c) {
    std::lock_guard lock(table_mutex);
    if (c.evicted) return false;
    if (c.incomplete) {
      incomplete.erase(c.queued);
      c.incomplete = false;
    }
    return true;
  }

  void drop(EventLoop& loop, Connection& c) {
    {
      std::lock_guard lock(table_mutex);
      if (!c.evicted) uncount(c);
    }
    loop.connections.erase(c.fd);  // closes the socket, which leaves the epoll set with it
  }

  // Called on every edge; each step goes as far as the client's data allows,
  // since the next call comes only with the next change.
  void advance(EventLoop& loop, Connection& c) {
    switch (c.phase) {
      case Phase::kHandshake: return take_handshake_step(loop, c);
      case Phase::kReading: return read_request(loop, c);
      case Phase::kReplying: return write_error_reply(loop, c);
      case Phase::kClosing: return drain(loop, c);
      case Phase::kWorker: return;
    }
  }

  void take_handshake_step(EventLoop& loop, Connection& c) {
    ERR_clear_error();
    const int result = SSL_do_handshake(c.ssl);
    if (result == 1) {
      // The request usually comes with the client's last handshake message.
      c.phase = Phase::kReading;
      return read_request(loop, c);
    }
    const int error = SSL_get_error(c.ssl, result);
    ERR_clear_error();
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) drop(loop, c);
  }

  enum class Pulled { kComplete, kFailed, kWantMore, kGone };

  // Feeds the reader with whatever the client has sent so far.
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
          if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return Pulled::kWantMore;
          if (error != SSL_ERROR_ZERO_RETURN) return Pulled::kGone;
        }
        received = result > 0 ? static_cast<std::size_t>(result) : 0;
      } else {
        const ssize_t result = recv(c.fd, buffer, sizeof buffer, 0);
        if (result < 0) {
          if (errno == EINTR) continue;
          if (errno == EAGAIN || errno == EWOULDBLOCK) return Pulled::kWantMore;
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

  void read_request(EventLoop& loop, Connection& c) {
    switch (pull(c)) {
      case Pulled::kComplete: return dispatch(loop, c);
      case Pulled::kFailed: return start_error_reply(loop, c, c.reader.error_status());
      case Pulled::kWantMore: return;
      case Pulled::kGone: return drop(loop, c);
    }
  }

  void dispatch(EventLoop& loop, Connection& c) {
    if (!completed(c)) return drop(loop, c);
    c.off_loop = true;
    c.phase = Phase::kWorker;
    {
      std::lock_guard lock(jobs_mutex);
      jobs.push_back(&c);
    }
    jobs_ready.notify_one();
  }

  void start_error_reply(EventLoop& loop, Connection& c, int status) {
    if (!completed(c)) return drop(loop, c);
    c.reply = serialize(error_response(status), server_version);
    c.reply_sent = 0;
    c.phase = Phase::kReplying;
    c.deadline = Clock::now() + kCloseGrace;
    write_error_reply(loop, c);
  }

  void write_error_reply(EventLoop& loop, Connection& c) {
    while (c.reply_sent < c.reply.size()) {
      const char* data = c.reply.data() + c.reply_sent;
      const std::size_t length = c.reply.size() - c.reply_sent;
      if (c.ssl != nullptr) {
        ERR_clear_error();
        const int result = SSL_write(c.ssl, data, static_cast<int>(length));
        if (result <= 0) {
          const int error = SSL_get_error(c.ssl, result);
          ERR_clear_error();
          if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return;
          return drop(loop, c);
        }
        c.reply_sent += static_cast<std::size_t>(result);
      } else {
        const ssize_t result = send(c.fd, data, length, MSG_NOSIGNAL);
        if (result < 0) {
          if (errno == EINTR) continue;
          if (errno == EAGAIN || errno == EWOULDBLOCK) return;
          return drop(loop, c);
        }
        c.reply_sent += static_cast<std::size_t>(result);
      }
    }
    end_output(c);
    begin_close(loop, c);
  }

  // close_notify and the end of our half of the stream, both best effort.
  static void end_output(Connection& c) {
    if (c.ssl != nullptr) {
      ERR_clear_error();
      SSL_shutdown(c.ssl);
      ERR_clear_error();
    }
    ::shutdown(c.fd, SHUT_WR);
  }

  void begin_close(EventLoop& loop, Connection& c) {
    c.phase = Phase::kClosing;
    c.deadline = Clock::now() + kCloseGrace;
    drain(loop, c);  // the client may have closed already: no edge would tell
  }

  // A client still sending (a body over its limit, say) brings a new edge
  // with each arrival, so a bounded share per call loses nothing.
  void drain(EventLoop& loop, Connection& c) {
    char buffer[kReadChunk];
    for (int i = 0; i < kDrainChunksPerEvent; ++i) {
      const ssize_t result = recv(c.fd, buffer, sizeof buffer, 0);
      if (result > 0) continue;
      if (result < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
      return drop(loop, c);
    }
  }

  void sweep(EventLoop& loop, Clock::time_point now) {
    if (loop.accept_paused) loop.accept_paused = !watch_listener(loop);
    std::vector<Connection*> expired;
    for (const auto& [fd, c] : loop.connections) {
      if (!c->off_loop && now >= c->deadline) expired.push_back(c.get());
    }
    for (Connection* c : expired) {
      // Only a client that started an HTTP request is owed an answer.
      if (c->phase == Phase::kReading && c->reader.started()) {
        start_error_reply(loop, *c, 408);
      } else {
        drop(loop, *c);
      }
    }
  }

  void take_inbox(EventLoop& loop) {
    std::uint64_t count = 0;
    if (read(loop.wake_fd, &count, sizeof count) < 0) count = 0;
    std::vector<Connection*> finished;
    std::vector<std::pair<int, std::uint64_t>> evictions;
    {
      std::lock_guard lock(loop.inbox_mutex);
      finished.swap(loop.finished);
      evictions.swap(loop.evictions);
    }
    for (const auto& id : evictions) close_evicted(loop, id);
    for (Connection* c : finished) {
      c->off_loop = false;
      if (!c->reply_ok) {
        drop(loop, *c);
        continue;
      }
      begin_close(loop, *c);
    }
  }

  // ---- worker threads ----

  // The next request to answer; nullptr once the server stops.
  Connection* next_job() {
    std::unique_lock lock(jobs_mutex);
    jobs_ready.wait(lock, [&] { return stopping || !jobs.empty(); });
    if (stopping) return nullptr;
    Connection* c = jobs.front();
    jobs.pop_front();
    return c;
  }

  void work() {
    while (Connection* c = next_job()) {
      try {
        c->reply_ok = answer(*c);
      } catch (...) {  // out of memory building the reply
        c->reply_ok = false;
      }
      if (c->reply_ok) end_output(*c);
      c->loop->post([c] { c->loop->finished.push_back(c); });
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

  // Writes the whole reply on the non-blocking socket, waiting for room at
  // most kSendTimeout at a time and kReplyDeadline in all.
  static bool write_reply(Connection& c, const std::string& bytes) {
    const auto deadline = Clock::now() + kReplyDeadline;
    std::size_t sent = 0;
    while (sent < bytes.size()) {
      const std::size_t length = std::min(kWriteChunk, bytes.size() - sent);
      short wait_for = POLLOUT;
      if (c.ssl != nullptr) {
        ERR_clear_error();
        const int result = SSL_write(c.ssl, bytes.data() + sent, static_cast<int>(length));
        if (result > 0) {
          sent += static_cast<std::size_t>(result);
          continue;
        }
        const int error = SSL_get_error(c.ssl, result);
        const int cause = errno;
        ERR_clear_error();
        if (error == SSL_ERROR_WANT_READ) {
          wait_for = POLLIN;
        } else if (error != SSL_ERROR_WANT_WRITE) {
          if (error == SSL_ERROR_SYSCALL && !client_gone(cause)) {
            report(std::string("TLS reply write failed: ") + std::strerror(cause));
          }
          return false;
        }
      } else {
        const ssize_t result = send(c.fd, bytes.data() + sent, length, MSG_NOSIGNAL);
        if (result >= 0) {
          sent += static_cast<std::size_t>(result);
          continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) {
          if (!client_gone(errno)) report(std::string("reply write failed: ") + std::strerror(errno));
          return false;
        }
      }
      const auto left = std::min<Clock::duration>(kSendTimeout, deadline - Clock::now());
      if (left <= Clock::duration::zero()) return false;
      pollfd room{c.fd, wait_for, 0};
      const int ready = ::poll(&room, 1,
                               static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
      if (ready == 0 || (ready < 0 && errno != EINTR)) return false;  // stalled, or gone
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
    }
    // Cut short replies that are blocked on a client; the sockets stay open
    // until the workers are gone.
    for (const auto& loop : loops) {
      for (const auto& [fd, c] : loop->connections) {
        if (c->off_loop) ::shutdown(fd, SHUT_RDWR);
      }
    }
    jobs_ready.notify_all();
    for (std::thread& worker : workers) {
      if (worker.joinable()) worker.join();
    }
    incomplete.clear();
    per_address.clear();
    loops.clear();
    listen_fd = -1;
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
