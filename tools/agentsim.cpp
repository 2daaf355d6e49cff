// Simulated receiving computers for load and delivery-time figures.
//
//   agentsim --make-install DIR --agents N
//       Writes DIR/data/config.json (N receiving computers, one operator, a
//       group "probe" holding pc-1 alone, in exercise mode),
//       DIR/data/demo-credentials.txt and a test authority
//       with a server certificate for 127.0.0.1 (DIR/data/ca.pem,
//       server.pem, server.key), all owner-only.
//
//   agentsim --install DIR --port P [--agents N] [--seconds 60]
//            [--tls [--resume] [--tls-max 1.2|1.3]] [--ca FILE]
//            [--interval-ms 5000] [--jitter-ms 1000]
//            [--received-ms 0] [--displayed-ms 200] [--acknowledged-ms 2000]
//            [--alert-every S] [--max-connections 256] [--capability TEXT]
//            [--hostile N]
//
// Each agent polls GET /api/agent/poll every interval (plus or minus the
// jitter) with its own device credential. A newly seen alert is reported
// "received", "displayed" and "acknowledged" in turn, each after its delay
// following the previous one. With --alert-every the simulator also creates
// an exercise alert for all sites as the operator at that period, and reports
// per alert the time from the 201 reply to the first "received" receipt, to
// every agent's "displayed", and to every agent's "acknowledged".
// Over TLS the simulator offers what the desktop agent offers: TLS 1.2 only,
// whose resumption skips the key exchange; --tls-max 1.3 measures TLS 1.3.
// The credentials file (demo-credentials.txt, as make_demo_install also
// writes) gives the device and operator credentials.
//
// With --hostile N, N further connections each send half a request (over
// TLS: half a handshake) and then stall (each reopened when the server gives up on it), so the figures show
// what slow or hostile clients cost everyone else.
//
// Every request uses a connection of its own (the service speaks HTTP/1.0);
// all sockets are non-blocking on one epoll loop. Only loopback targets.
// Prints one figure per line, "name value"; a time of -1 was not reached
// within the run.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <queue>
#include <random>
#include <set>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "base/clock.h"
#include "base/digest.h"
#include "base/json_text.h"
#include "net/certificates.h"
#include "net/private_files.h"
#include "net/tls_policy.h"

namespace {

using halvenor::Json;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr int kMaxAgents = 50'000;
constexpr auto kRequestTimeout = std::chrono::seconds(15);
// How often requests in flight are checked against their deadline.
constexpr auto kExpiryCheck = std::chrono::milliseconds(100);
constexpr std::size_t kMaxReplyBytes = 4 * 1024 * 1024;
constexpr int kCertificateDays = 30;

[[noreturn]] void usage(const std::string& problem) {
  std::fprintf(stderr,
               "agentsim: %s\n"
               "usage: agentsim --make-install DIR --agents N\n"
               "       agentsim --install DIR --port P [--agents N] [--seconds S] [--tls [--resume] [--tls-max V]] [--ca FILE]\n"
               "                [--interval-ms MS] [--jitter-ms MS] [--received-ms MS] [--displayed-ms MS]\n"
               "                [--acknowledged-ms MS] [--alert-every S] [--max-connections C] [--capability TEXT]\n"
               "                [--hostile N]\n",
               problem.c_str());
  std::exit(2);
}

long number(const std::string& option, const std::string& text, long low, long high) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < low || value > high)
    usage(option + " needs a whole number from " + std::to_string(low) + " to " + std::to_string(high));
  return value;
}

struct Options {
  fs::path make_install;
  fs::path install;
  int port = 0;
  int agents = 0;  // 0: every device in the credentials file
  double seconds = 60;
  bool tls = false;
  bool resume = false;
  int tls_max = TLS1_2_VERSION;
  std::string ca_file;
  long interval_ms = 5000;
  long jitter_ms = 1000;
  long received_ms = 0;
  long displayed_ms = 200;
  long acknowledged_ms = 2000;
  long alert_every_s = 0;
  long max_connections = 256;
  long hostile = 0;
  std::string capability = "live-desktop-v1";
};

Options parse(int argc, char** argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(flag + " needs a value");
      return argv[++i];
    };
    if (flag == "--make-install") o.make_install = value();
    else if (flag == "--install") o.install = value();
    else if (flag == "--port") o.port = static_cast<int>(number(flag, value(), 1, 65535));
    else if (flag == "--agents") o.agents = static_cast<int>(number(flag, value(), 1, kMaxAgents));
    else if (flag == "--seconds") o.seconds = static_cast<double>(number(flag, value(), 1, 24 * 3600));
    else if (flag == "--tls") o.tls = true;
    else if (flag == "--resume") o.resume = true;
    else if (flag == "--tls-max") {
      const std::string version = value();
      if (version != "1.2" && version != "1.3") usage("--tls-max must be 1.2 or 1.3");
      o.tls_max = version == "1.2" ? TLS1_2_VERSION : TLS1_3_VERSION;
    }
    else if (flag == "--ca") o.ca_file = value();
    else if (flag == "--interval-ms") o.interval_ms = number(flag, value(), 100, 3'600'000);
    else if (flag == "--jitter-ms") o.jitter_ms = number(flag, value(), 0, 3'600'000);
    else if (flag == "--received-ms") o.received_ms = number(flag, value(), 0, 3'600'000);
    else if (flag == "--displayed-ms") o.displayed_ms = number(flag, value(), 0, 3'600'000);
    else if (flag == "--acknowledged-ms") o.acknowledged_ms = number(flag, value(), 0, 3'600'000);
    else if (flag == "--alert-every") o.alert_every_s = number(flag, value(), 1, 24 * 3600);
    else if (flag == "--max-connections") o.max_connections = number(flag, value(), 1, 10'000);
    else if (flag == "--capability") o.capability = value();
    else if (flag == "--hostile") o.hostile = number(flag, value(), 1, 10'000);
    else usage("unknown option " + flag);
  }
  if (!o.make_install.empty()) {
    if (o.agents == 0) usage("--make-install needs --agents");
    return o;
  }
  if (o.install.empty()) usage("give --make-install DIR or --install DIR");
  if (o.port == 0) usage("--port is required");
  if (o.resume && !o.tls) usage("--resume needs --tls");
  if (o.jitter_ms >= o.interval_ms) usage("--jitter-ms must be below --interval-ms");
  if (o.tls && o.ca_file.empty()) o.ca_file = (o.install / "data" / "ca.pem").string();
  return o;
}

// ---------------------------------------------------------------- install

int make_install(const Options& o) {
  const fs::path data = o.make_install / "data";
  if (fs::exists(data / "config.json")) {
    std::cerr << "agentsim: " << (data / "config.json").string() << " exists; not replacing it\n";
    return 1;
  }
  halvenor::setup::ensure_private_folder(data);
  auto& random = *halvenor::system_random();
  const char* sites[] = {"North", "South", "East"};
  Json devices = Json::array();
  std::string credentials;
  const std::string operator_token = halvenor::random_token(random, 24);
  credentials += "operator sim-operator " + operator_token + "\n";
  for (int i = 0; i < o.agents; ++i) {
    const std::string id = "pc-" + std::to_string(i + 1);
    const std::string token = halvenor::random_token(random, 24);
    devices.push_back({{"id", id}, {"token", token}, {"site", sites[i % 3]}, {"department", "Wards"}});
    credentials += "device " + id + " " + token + "\n";
  }
  Json config = {
      {"mode", "test"},
      {"provider", "mock"},
      {"mobile_providers", {{"sms", {{"driver", "mock"}}}, {"whatsapp", {{"driver", "mock"}}}}},
      {"live_desktop", {{"enabled", false}}},
      {"sites", {"North", "South", "East"}},
      {"users", {{{"id", "sim-operator"}, {"role", "operator"}, {"display_name", "Simulation Operator"},
                  {"token", operator_token}}}},
      {"devices", devices},
      {"contacts", Json::array()},
      // One computer on its own, for probes that must not disturb the rest (tools/soak.sh).
      {"groups", {{{"id", "probe"}, {"name", "Probe"}, {"members", {"pc-1"}}}}},
  };
  halvenor::setup::private_write(data / "config.json", halvenor::json::indented(config));
  halvenor::setup::private_write(data / "demo-credentials.txt", credentials);

  namespace setup = halvenor::setup;
  const double now = halvenor::system_clock()->now();
  auto ca_key = setup::generate_ec_p256_key();
  auto ca = setup::make_ca(ca_key.get(), "Halvenor Simulation Authority", now - 3600);
  auto key = setup::generate_ec_p256_key();
  auto cert = setup::issue_server_certificate(ca.get(), ca_key.get(), key.get(), setup::identity("127.0.0.1"), now,
                                              kCertificateDays);
  setup::private_write(data / "ca.pem", setup::pem(ca.get()));
  setup::private_write(data / "server.pem", setup::pem(cert.get()) + setup::pem(ca.get()));
  setup::private_write(data / "server.key", setup::private_key_pem(key.get()));
  std::cout << "install " << o.make_install.string() << "\nagents " << o.agents << "\n";
  return 0;
}

// ---------------------------------------------------------------- figures

struct RouteFigures {
  long requests = 0;
  long errors = 0;
  std::map<int, long> statuses;
  std::vector<double> latencies_ms;
  std::string first_error;
};

double percentile(std::vector<double>& values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto rank = static_cast<std::size_t>(p / 100.0 * static_cast<double>(values.size()) + 0.999999);
  return values[std::clamp<std::size_t>(rank, 1, values.size()) - 1];
}

// One alert the simulator created, from its 201 on.
struct AlertTimes {
  int number = 0;
  Clock::time_point created;
  std::optional<Clock::time_point> first_received;
  int displayed = 0;
  int acknowledged = 0;
  std::optional<Clock::time_point> all_displayed;
  std::optional<Clock::time_point> all_acknowledged;
};

// ---------------------------------------------------------------- simulation

enum class Route { kPoll, kReceipt, kCreate };
const char* route_name(Route r) { return r == Route::kPoll ? "poll" : r == Route::kReceipt ? "receipt" : "create"; }

struct Agent {
  std::string token;
  std::unordered_set<std::string> seen;
  SSL_SESSION* session = nullptr;
};

struct Job {
  Route route;
  int agent = -1;  // -1: the operator
  std::string alert_id;
  std::string event;  // receipt event
};

struct Timer {
  Clock::time_point at;
  long order;
  Job job;
  bool operator>(const Timer& other) const { return at != other.at ? at > other.at : order > other.order; }
};

enum class Phase { kConnecting, kHandshake, kWriting, kReading };

struct Connection {
  int fd = -1;
  SSL* ssl = nullptr;
  Phase phase = Phase::kConnecting;
  Job job;
  std::string request;
  std::size_t sent = 0;
  std::string reply;
  Clock::time_point started;
  Clock::time_point deadline;
};

class Simulator {
 public:
  Simulator(Options options, std::vector<std::string> device_tokens, std::string operator_token)
      : o_(std::move(options)), operator_token_(std::move(operator_token)), random_(std::random_device{}()) {
    for (auto& token : device_tokens) agents_.push_back(Agent{std::move(token), {}, nullptr});
    host_header_ = "Host: 127.0.0.1:" + std::to_string(o_.port) + "\r\n";
    address_.sin_family = AF_INET;
    address_.sin_port = htons(static_cast<std::uint16_t>(o_.port));
    address_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (o_.tls) {
      tls_ = SSL_CTX_new(TLS_client_method());
      if (!tls_ || SSL_CTX_set_min_proto_version(tls_, TLS1_2_VERSION) != 1 ||
          SSL_CTX_load_verify_locations(tls_, o_.ca_file.c_str(), nullptr) != 1)
        usage("cannot load CA file " + o_.ca_file);
      SSL_CTX_set_verify(tls_, SSL_VERIFY_PEER, nullptr);
      SSL_CTX_set_session_cache_mode(tls_, SSL_SESS_CACHE_CLIENT);
      if (SSL_CTX_set_max_proto_version(tls_, o_.tls_max) != 1 ||
          SSL_CTX_set_cipher_list(tls_, halvenor::kForwardSecretTls12Ciphers) != 1)
        usage("cannot set the TLS version");
    }
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    if (epoll_ < 0) usage(std::string("epoll_create1: ") + std::strerror(errno));
  }

  ~Simulator() {
    std::vector<Connection*> still_open;
    for (auto& [fd, c] : open_) still_open.push_back(c.get());
    for (Connection* c : still_open) finish(*c, false);
    for (int fd : hostile_) ::close(fd);
    for (Agent& a : agents_)
      if (a.session) SSL_SESSION_free(a.session);
    if (tls_) SSL_CTX_free(tls_);
    ::close(epoll_);
  }

  void run() {
    const auto start = Clock::now();
    const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.seconds));
    // First polls spread over one interval, as computers started at different times would.
    std::uniform_int_distribution<long> spread(0, o_.interval_ms - 1);
    for (int i = 0; i < static_cast<int>(agents_.size()); ++i)
      schedule(start + std::chrono::milliseconds(spread(random_)), Job{Route::kPoll, i, "", ""});
    if (o_.alert_every_s > 0) schedule(start + std::chrono::seconds(o_.alert_every_s), Job{Route::kCreate, -1, "", ""});

    for (long i = 0; i < o_.hostile; ++i) open_hostile();
    auto next_progress = start + std::chrono::seconds(10);
    auto next_expiry = start;
    while (Clock::now() < end || !open_.empty()) {
      const auto now = Clock::now();
      const bool running = now < end;
      while (running && !timers_.empty() && timers_.top().at <= now &&
             static_cast<long>(open_.size()) < o_.max_connections) {
        Job job = timers_.top().job;
        timers_.pop();
        begin(std::move(job));
      }
      if (now >= next_expiry) {
        expire(now);
        next_expiry = now + kExpiryCheck;
      }
      if (now >= next_progress) {
        std::fprintf(stderr, "agentsim: %.0f s, %zu open, %ld replies\n",
                     std::chrono::duration<double>(now - start).count(), open_.size(), replies_);
        next_progress += std::chrono::seconds(10);
      }
      int wait_ms = 50;
      // At the in-flight limit only a reply frees room: waiting on the
      // overdue timers instead would spin on this shared machine's cores.
      if (running && !timers_.empty() && static_cast<long>(open_.size()) < o_.max_connections) {
        auto until = std::chrono::duration_cast<std::chrono::milliseconds>(timers_.top().at - now).count();
        wait_ms = static_cast<int>(std::clamp<long long>(until, 0, 50));
      }
      epoll_event events[512];
      const int n = epoll_wait(epoll_, events, 512, wait_ms);
      for (int i = 0; i < n; ++i) {
        const int fd = events[i].data.fd;
        if (hostile_.count(fd)) {
          replace_hostile(fd, running);
          continue;
        }
        auto it = open_.find(fd);
        if (it != open_.end()) advance(*it->second);
      }
      if (!running && Clock::now() > end + kRequestTimeout) break;
    }
    report(std::chrono::duration<double>(std::min(Clock::now(), end) - start).count());
  }

 private:
  // A connection that sends the start of a request and then nothing more.
  void open_hostile() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    // Over TLS: a record header announcing a ClientHello, and no more of it.
    const std::string half = o_.tls ? std::string("\x16\x03\x01\x02\x00\x01\x00\x01", 8)
                                    : "POST /api/agent/receipt HTTP/1.0\r\n" + host_header_ +
                                          "Content-Length: 40\r\n\r\n{\"id\"";
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address_), sizeof address_) != 0 ||
        ::send(fd, half.data(), half.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(half.size())) {
      ++hostile_failures_;
      ::close(fd);
      return;
    }
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    hostile_.insert(fd);
  }

  // The server answered or closed a stalled connection: count it, start another.
  void replace_hostile(int fd, bool running) {
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
    }
    if (n < 0 && errno == EAGAIN) return;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    hostile_.erase(fd);
    ++hostile_released_;
    if (running) open_hostile();
  }

  void schedule(Clock::time_point at, Job job) { timers_.push(Timer{at, order_++, std::move(job)}); }

  Clock::duration jittered_interval() {
    std::uniform_int_distribution<long> jitter(-o_.jitter_ms, o_.jitter_ms);
    return std::chrono::milliseconds(o_.interval_ms + jitter(random_));
  }

  std::string request_for(const Job& job) {
    if (job.route == Route::kPoll) {
      return "GET /api/agent/poll HTTP/1.0\r\n" + host_header_ + "Authorization: Bearer " +
             agents_[static_cast<std::size_t>(job.agent)].token + "\r\nX-Halvenor-Agent-Capability: " + o_.capability +
             "\r\n\r\n";
    }
    std::string body, token, extra;
    if (job.route == Route::kReceipt) {
      body = halvenor::json::field_text(Json{{"id", job.alert_id}, {"event", job.event}});
      token = agents_[static_cast<std::size_t>(job.agent)].token;
    } else {
      ++alerts_created_;
      body = halvenor::json::field_text(Json{{"test", true},
                                             {"title", "Simulated alert " + std::to_string(alerts_created_)},
                                             {"body", "Load simulation; no action needed"},
                                             {"severity", "critical"},
                                             {"ttl_minutes", 10},
                                             {"channels", {"desktop"}},
                                             {"sites", {"North", "South", "East"}}});
      token = operator_token_;
      extra = "Idempotency-Key: agentsim-" + std::to_string(::getpid()) + "-" + std::to_string(alerts_created_) + "\r\n";
    }
    return "POST " + std::string(job.route == Route::kReceipt ? "/api/agent/receipt" : "/api/alerts") +
           " HTTP/1.0\r\n" + host_header_ + "Authorization: Bearer " + token +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra +
           "\r\n" + body;
  }

  void begin(Job job) {
    auto c = std::make_unique<Connection>();
    c->started = Clock::now();
    c->deadline = c->started + kRequestTimeout;
    c->request = request_for(job);
    c->job = std::move(job);
    c->fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c->fd < 0) return fail_before_open(*c, std::string("socket: ") + std::strerror(errno));
    // As the agent's client: the request follows the client's last
    // handshake message at once instead of waiting for its acknowledgement.
    const int one = 1;
    ::setsockopt(c->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(c->fd, reinterpret_cast<sockaddr*>(&address_), sizeof address_) != 0 && errno != EINPROGRESS) {
      const std::string why = std::string("connect: ") + std::strerror(errno);
      ::close(c->fd);
      return fail_before_open(*c, why);
    }
    epoll_event event{};
    event.events = EPOLLOUT;
    event.data.fd = c->fd;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, c->fd, &event);
    const int fd = c->fd;
    open_.emplace(fd, std::move(c));
  }

  void fail_before_open(Connection& c, const std::string& why) {
    record(c, 0, why);
    reschedule_after(c.job, false, "");
  }

  void watch(Connection& c, bool readable) {
    epoll_event event{};
    event.events = readable ? EPOLLIN : EPOLLOUT;
    event.data.fd = c.fd;
    epoll_ctl(epoll_, EPOLL_CTL_MOD, c.fd, &event);
  }

  // Moves one connection on as far as its socket allows.
  void advance(Connection& c) {
    if (c.phase == Phase::kConnecting) {
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &length);
      if (error != 0) return abandon(c, std::string("connect: ") + std::strerror(error));
      if (tls_) {
        c.ssl = SSL_new(tls_);
        SSL_set_fd(c.ssl, c.fd);
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c.ssl), "127.0.0.1");
        Agent* agent = c.job.agent >= 0 ? &agents_[static_cast<std::size_t>(c.job.agent)] : nullptr;
        if (o_.resume && agent && agent->session) SSL_set_session(c.ssl, agent->session);
        SSL_set_connect_state(c.ssl);
        c.phase = Phase::kHandshake;
      } else {
        c.phase = Phase::kWriting;
      }
    }
    if (c.phase == Phase::kHandshake) {
      ERR_clear_error();
      const int rc = SSL_do_handshake(c.ssl);
      if (rc != 1) return tls_wait(c, rc, "TLS handshake");
      if (SSL_session_reused(c.ssl)) ++resumed_;
      c.phase = Phase::kWriting;
    }
    if (c.phase == Phase::kWriting) {
      while (c.sent < c.request.size()) {
        long n;
        if (c.ssl) {
          ERR_clear_error();
          n = SSL_write(c.ssl, c.request.data() + c.sent, static_cast<int>(c.request.size() - c.sent));
          if (n <= 0) return tls_wait(c, static_cast<int>(n), "TLS write");
        } else {
          n = ::send(c.fd, c.request.data() + c.sent, c.request.size() - c.sent, MSG_NOSIGNAL);
          if (n < 0) {
            if (errno == EAGAIN) return watch(c, false);
            return abandon(c, std::string("send: ") + std::strerror(errno));
          }
        }
        c.sent += static_cast<std::size_t>(n);
      }
      c.phase = Phase::kReading;
      watch(c, true);
    }
    if (c.phase == Phase::kReading) {
      char buffer[16384];
      for (;;) {
        long n;
        if (c.ssl) {
          ERR_clear_error();
          n = SSL_read(c.ssl, buffer, sizeof buffer);
          if (n <= 0) {
            const int error = SSL_get_error(c.ssl, static_cast<int>(n));
            if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) return watch(c, error == SSL_ERROR_WANT_READ);
            return complete(c);  // close_notify or the server's close ends the reply
          }
        } else {
          n = ::recv(c.fd, buffer, sizeof buffer, 0);
          if (n < 0) {
            if (errno == EAGAIN) return;
            return abandon(c, std::string("recv: ") + std::strerror(errno));
          }
          if (n == 0) return complete(c);
        }
        c.reply.append(buffer, static_cast<std::size_t>(n));
        if (c.reply.size() > kMaxReplyBytes) return abandon(c, "reply too large");
      }
    }
  }

  void tls_wait(Connection& c, int rc, const char* what) {
    const int error = SSL_get_error(c.ssl, rc);
    if (error == SSL_ERROR_WANT_READ) return watch(c, true);
    if (error == SSL_ERROR_WANT_WRITE) return watch(c, false);
    const long verify = SSL_get_verify_result(c.ssl);
    abandon(c, verify != X509_V_OK ? std::string("TLS verify: ") + X509_verify_cert_error_string(verify)
                                   : std::string(what) + " failed");
  }

  void expire(Clock::time_point now) {
    std::vector<Connection*> late;
    for (auto& [fd, c] : open_)
      if (now >= c->deadline) late.push_back(c.get());
    for (Connection* c : late) abandon(*c, "timed out");
  }

  void abandon(Connection& c, const std::string& why) {
    record(c, 0, why);
    Job job = c.job;
    finish(c, false);
    reschedule_after(job, false, "");
  }

  void complete(Connection& c) {
    int status = 0;
    std::string body;
    if (c.reply.size() >= 12 && c.reply.compare(0, 7, "HTTP/1.") == 0) {
      status = std::atoi(c.reply.substr(9, 3).c_str());
      auto head_end = c.reply.find("\r\n\r\n");
      if (head_end != std::string::npos) body = c.reply.substr(head_end + 4);
    }
    record(c, status, status == 0 ? "malformed or missing reply" : "");
    if (status != 0) ++replies_;
    Job job = c.job;
    if (c.ssl && o_.resume && job.agent >= 0) {
      Agent& agent = agents_[static_cast<std::size_t>(job.agent)];
      if (SSL_SESSION* session = SSL_get1_session(c.ssl)) {
        if (agent.session) SSL_SESSION_free(agent.session);
        agent.session = session;
      }
    }
    finish(c, true);
    reschedule_after(job, status >= 200 && status < 300, body);
  }

  void finish(Connection& c, bool orderly) {
    if (c.ssl) {
      if (orderly) SSL_shutdown(c.ssl);
      SSL_free(c.ssl);
      ERR_clear_error();
    }
    const int fd = c.fd;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    open_.erase(fd);  // destroys c
  }

  void record(const Connection& c, int status, const std::string& error) {
    RouteFigures& f = figures_[route_name(c.job.route)];
    ++f.requests;
    if (status == 0) {
      ++f.errors;
      if (f.first_error.empty()) f.first_error = error;
      return;
    }
    ++f.statuses[status];
    f.latencies_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - c.started).count());
  }

  // What follows a finished request: the agent's next poll, the next receipt
  // of an alert, the operator's next alert.
  void reschedule_after(const Job& job, bool ok, const std::string& body) {
    const auto now = Clock::now();
    if (job.route == Route::kPoll) {
      if (ok) take_poll(job.agent, body);
      schedule(now + jittered_interval(), Job{Route::kPoll, job.agent, "", ""});
    } else if (job.route == Route::kReceipt) {
      if (!ok) return;  // a refused receipt is counted; the agent moves on
      note_receipt(job.alert_id, job.event, now);
      if (job.event == "received")
        schedule(now + std::chrono::milliseconds(o_.displayed_ms), Job{Route::kReceipt, job.agent, job.alert_id, "displayed"});
      else if (job.event == "displayed")
        schedule(now + std::chrono::milliseconds(o_.acknowledged_ms),
                 Job{Route::kReceipt, job.agent, job.alert_id, "acknowledged"});
    } else {
      if (ok) {
        try {
          const std::string id = halvenor::json::parse_text(body).at("id").get<std::string>();
          AlertTimes& times = alerts_[id];
          times.number = alerts_created_;
          times.created = now;
        } catch (const std::exception&) {
          figures_["create"].first_error = "201 without an alert id";
        }
      }
      schedule(now + std::chrono::seconds(o_.alert_every_s), Job{Route::kCreate, -1, "", ""});
    }
  }

  void take_poll(int agent_index, const std::string& body) {
    Json alerts;
    try {
      alerts = halvenor::json::parse_text(body);
    } catch (const std::exception&) {
      figures_["poll"].first_error = "poll reply is not JSON";
      return;
    }
    if (!alerts.is_array()) return;
    Agent& agent = agents_[static_cast<std::size_t>(agent_index)];
    const auto now = Clock::now();
    for (const Json& alert : alerts) {
      auto id = alert.find("id");
      if (id == alert.end() || !id->is_string()) continue;
      if (!agent.seen.insert(id->get<std::string>()).second) continue;
      schedule(now + std::chrono::milliseconds(o_.received_ms),
               Job{Route::kReceipt, agent_index, id->get<std::string>(), "received"});
    }
  }

  void note_receipt(const std::string& id, const std::string& event, Clock::time_point now) {
    auto it = alerts_.find(id);
    if (it == alerts_.end()) return;  // not one of ours
    AlertTimes& t = it->second;
    const int everyone = static_cast<int>(agents_.size());
    if (event == "received" && !t.first_received) t.first_received = now;
    if (event == "displayed" && ++t.displayed == everyone) t.all_displayed = now;
    if (event == "acknowledged" && ++t.acknowledged == everyone) t.all_acknowledged = now;
  }

  void report(double elapsed) {
    std::printf("agents %zu\n", agents_.size());
    std::printf("elapsed_seconds %.1f\n", elapsed);
    for (auto& [route, f] : figures_) {
      std::printf("%s_requests %ld\n", route.c_str(), f.requests);
      std::printf("%s_per_second %.1f\n", route.c_str(), elapsed > 0 ? static_cast<double>(f.requests) / elapsed : 0);
      std::printf("%s_errors %ld\n", route.c_str(), f.errors);
      for (const auto& [status, count] : f.statuses) std::printf("%s_status_%d %ld\n", route.c_str(), status, count);
      std::printf("%s_latency_ms_p50 %.2f\n", route.c_str(), percentile(f.latencies_ms, 50));
      std::printf("%s_latency_ms_p99 %.2f\n", route.c_str(), percentile(f.latencies_ms, 99));
      if (!f.first_error.empty()) std::fprintf(stderr, "agentsim: %s first error: %s\n", route.c_str(), f.first_error.c_str());
    }
    if (o_.tls) std::printf("tls_sessions_resumed %ld\n", resumed_);
    if (o_.hostile > 0) {
      std::printf("hostile_released_by_server %ld\n", hostile_released_);
      std::printf("hostile_connect_failures %ld\n", hostile_failures_);
    }
    std::vector<const AlertTimes*> ordered;
    for (const auto& [id, t] : alerts_) ordered.push_back(&t);
    std::sort(ordered.begin(), ordered.end(), [](auto* a, auto* b) { return a->number < b->number; });
    const auto since = [](const AlertTimes& t, const std::optional<Clock::time_point>& at) {
      return at ? std::chrono::duration<double, std::milli>(*at - t.created).count() : -1.0;
    };
    double worst_displayed = 0;
    int incomplete = 0;
    for (const AlertTimes* t : ordered) {
      std::printf("alert_%d_first_received_ms %.0f\n", t->number, since(*t, t->first_received));
      std::printf("alert_%d_all_displayed_ms %.0f\n", t->number, since(*t, t->all_displayed));
      std::printf("alert_%d_all_acknowledged_ms %.0f\n", t->number, since(*t, t->all_acknowledged));
      std::printf("alert_%d_displayed_count %d\n", t->number, t->displayed);
      if (t->all_displayed)
        worst_displayed = std::max(worst_displayed, since(*t, t->all_displayed));
      else
        ++incomplete;
    }
    std::printf("alerts_created %zu\n", ordered.size());
    std::printf("alerts_not_displayed_everywhere %d\n", incomplete);
    std::printf("alert_all_displayed_ms_max %.0f\n", worst_displayed);
  }

  const Options o_;
  const std::string operator_token_;
  std::mt19937_64 random_;
  std::vector<Agent> agents_;
  std::string host_header_;
  sockaddr_in address_{};
  SSL_CTX* tls_ = nullptr;
  int epoll_ = -1;
  std::priority_queue<Timer, std::vector<Timer>, std::greater<>> timers_;
  long order_ = 0;
  std::unordered_map<int, std::unique_ptr<Connection>> open_;
  std::map<std::string, RouteFigures> figures_;
  std::unordered_map<std::string, AlertTimes> alerts_;
  int alerts_created_ = 0;
  long replies_ = 0;
  long resumed_ = 0;
  std::unordered_set<int> hostile_;
  long hostile_released_ = 0;
  long hostile_failures_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // OpenSSL writes without MSG_NOSIGNAL
  Options o = parse(argc, argv);
  if (!o.make_install.empty()) return make_install(o);

  std::ifstream file(o.install / "data" / "demo-credentials.txt");
  if (!file) usage("cannot read " + (o.install / "data" / "demo-credentials.txt").string());
  std::vector<std::string> devices;
  std::string operator_token;
  for (std::string kind, id, token; file >> kind >> id >> token;) {
    if (kind == "device") devices.push_back(token);
    else if (kind == "operator") operator_token = token;
  }
  if (devices.empty()) usage("the credentials file names no device");
  if (o.agents > 0 && static_cast<std::size_t>(o.agents) < devices.size()) devices.resize(static_cast<std::size_t>(o.agents));
  if (o.alert_every_s > 0 && operator_token.empty()) usage("--alert-every needs an operator in the credentials file");
  if (o.agents > static_cast<int>(devices.size())) usage("the credentials file names only " + std::to_string(devices.size()) + " devices");

  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
  Simulator simulator(std::move(o), std::move(devices), operator_token);
  simulator.run();
  return 0;
}
