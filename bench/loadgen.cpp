// HTTP/1.0 load driver for a locally running service.
//
//   loadgen --host 127.0.0.1 --port P [--tls --ca FILE [--resume] [--tls12]]
//           --path /api/version [--path /other]... [--path-weight N]...
//           --concurrency 50 (--requests N | --seconds S)
//           [--tokens FILE] [--header "Name: value"]...
//           [--method GET|POST] [--body TEXT]
//
// Every request uses a connection of its own, as the service's clients do.
// Paths are taken in turn by weight (one weight per --path, default 1);
// tokens (one per line) in turn as "Authorization: Bearer <token>". With
// --resume each worker offers its last TLS session on the next connection;
// --tls12 offers TLS 1.2 only, as the desktop agent does.
// Only loopback targets are accepted, and count and duration are bounded.
//
// Prints one figure per line, "name value", e.g. "requests_per_second 812.4".
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kMaxConcurrency = 1000;
constexpr long kMaxRequests = 10'000'000;
constexpr double kMaxSeconds = 3600;
constexpr int kIoTimeoutSeconds = 10;      // per blocked read or write
constexpr std::size_t kStatusPrefixBytes = 64;  // of each reply, kept to read the status

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  bool tls = false;
  std::string ca_file;
  bool resume = false;
  bool tls12 = false;
  std::vector<std::string> paths;
  std::vector<long> weights;
  int concurrency = 1;
  long requests = 0;
  double seconds = 0;
  std::vector<std::string> tokens;
  std::vector<std::string> headers;
  std::string method = "GET";
  std::string body;
};

[[noreturn]] void usage(const std::string& problem) {
  std::fprintf(stderr,
               "loadgen: %s\n"
               "usage: loadgen --host 127.0.0.1 --port P [--tls --ca FILE [--resume] [--tls12]]\n"
               "       --path PATH [--path PATH]... [--path-weight N]...\n"
               "       --concurrency C (--requests N | --seconds S) [--tokens FILE]\n"
               "       [--header \"Name: value\"]... [--method GET|POST] [--body TEXT]\n",
               problem.c_str());
  std::exit(2);
}

long number(const std::string& option, const std::string& text, long low, long high) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || value < low || value > high) {
    usage(option + " needs a whole number from " + std::to_string(low) + " to " +
          std::to_string(high));
  }
  return value;
}

std::vector<std::string> read_tokens(const std::string& path) {
  std::ifstream file(path);
  if (!file) usage("cannot read tokens file " + path);
  std::vector<std::string> tokens;
  for (std::string line; std::getline(file, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) tokens.push_back(line);
  }
  if (tokens.empty()) usage("tokens file " + path + " holds no token");
  return tokens;
}

Options parse(int argc, char** argv) {
  Options o;
  bool has_body = false;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    const auto value = [&]() -> std::string {
      if (i + 1 >= argc) usage(flag + " needs a value");
      return argv[++i];
    };
    if (flag == "--host") o.host = value();
    else if (flag == "--port") o.port = static_cast<int>(number(flag, value(), 1, 65535));
    else if (flag == "--tls") o.tls = true;
    else if (flag == "--ca") o.ca_file = value();
    else if (flag == "--resume") o.resume = true;
    else if (flag == "--tls12") o.tls12 = true;
    else if (flag == "--path") o.paths.push_back(value());
    else if (flag == "--path-weight") o.weights.push_back(number(flag, value(), 1, 1000));
    else if (flag == "--concurrency") o.concurrency = static_cast<int>(number(flag, value(), 1, kMaxConcurrency));
    else if (flag == "--requests") o.requests = number(flag, value(), 1, kMaxRequests);
    else if (flag == "--seconds") o.seconds = static_cast<double>(number(flag, value(), 1, static_cast<long>(kMaxSeconds)));
    else if (flag == "--tokens") o.tokens = read_tokens(value());
    else if (flag == "--header") o.headers.push_back(value());
    else if (flag == "--method") o.method = value();
    else if (flag == "--body") {
      o.body = value();
      has_body = true;
    }
    else usage("unknown option " + flag);
  }
  if (o.port == 0) usage("--port is required");
  if (o.paths.empty()) usage("at least one --path is required");
  if (!o.weights.empty() && o.weights.size() != o.paths.size()) usage("give one --path-weight per --path");
  if ((o.requests > 0) == (o.seconds > 0)) usage("give exactly one of --requests and --seconds");
  if (o.method != "GET" && o.method != "POST") usage("--method must be GET or POST");
  if (has_body && o.method != "POST") usage("--body needs --method POST");
  if (o.tls && o.ca_file.empty()) usage("--tls needs --ca");
  if (!o.tls && (o.resume || o.tls12 || !o.ca_file.empty())) usage("--ca, --resume and --tls12 need --tls");
  for (const std::string& header : o.headers) {
    if (header.find(':') == std::string::npos || header.find_first_of("\r\n") != std::string::npos) {
      usage("--header must look like \"Name: value\"");
    }
  }
  if (o.weights.empty()) o.weights.assign(o.paths.size(), 1);
  return o;
}

// The loopback address to connect to; refuses anything else.
in_addr loopback_address(const std::string& host) {
  in_addr address{};
  const std::string literal = host == "localhost" ? "127.0.0.1" : host;
  if (inet_pton(AF_INET, literal.c_str(), &address) != 1 || (ntohl(address.s_addr) >> 24) != 127) {
    usage("--host must be a loopback address (127.x.x.x or localhost)");
  }
  return address;
}

struct Stats {
  std::map<int, long> statuses;
  long errors = 0;
  long resumed = 0;
  std::vector<double> latencies_ms;
  std::string first_error;

  // Counts a failed request; returns the status "no reply".
  int fail(const std::string& why) {
    ++errors;
    if (first_error.empty()) first_error = why;
    return 0;
  }
};

class Driver {
 public:
  explicit Driver(Options options) : o_(std::move(options)), address_(loopback_address(o_.host)) {
    for (long weight : o_.weights) total_weight_ += weight;
    if (!o_.tls) return;
    tls_.reset(SSL_CTX_new(TLS_client_method()));
    if (!tls_ || SSL_CTX_set_min_proto_version(tls_.get(), TLS1_2_VERSION) != 1 ||
        SSL_CTX_load_verify_locations(tls_.get(), o_.ca_file.c_str(), nullptr) != 1) {
      usage("cannot load CA file " + o_.ca_file);
    }
    SSL_CTX_set_verify(tls_.get(), SSL_VERIFY_PEER, nullptr);
    SSL_CTX_set_session_cache_mode(tls_.get(), SSL_SESS_CACHE_CLIENT);
    if (o_.tls12) SSL_CTX_set_max_proto_version(tls_.get(), TLS1_2_VERSION);
  }

  void run() {
    std::vector<Stats> stats(static_cast<std::size_t>(o_.concurrency));
    std::vector<std::thread> workers;
    const auto start = Clock::now();
    end_ = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o_.seconds));
    for (Stats& s : stats) workers.emplace_back([this, &s] { work(s); });
    for (std::thread& worker : workers) worker.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    report(stats, elapsed);
  }

 private:
  std::string request_text(long index) const {
    long slot = index % total_weight_;
    std::size_t path = 0;
    while (slot >= o_.weights[path]) slot -= o_.weights[path++];
    std::string text = o_.method + " " + o_.paths[path] + " HTTP/1.0\r\n";
    text += "Host: " + o_.host + ":" + std::to_string(o_.port) + "\r\n";
    for (const std::string& header : o_.headers) text += header + "\r\n";
    if (!o_.tokens.empty()) {
      text += "Authorization: Bearer " + o_.tokens[static_cast<std::size_t>(index) % o_.tokens.size()] + "\r\n";
    }
    if (o_.method == "POST") text += "Content-Length: " + std::to_string(o_.body.size()) + "\r\n";
    return text + "\r\n" + o_.body;
  }

  void work(Stats& s) {
    std::unique_ptr<SSL_SESSION, decltype(&SSL_SESSION_free)> session(nullptr, SSL_SESSION_free);
    for (;;) {
      const long index = next_.fetch_add(1);
      if (o_.requests > 0 ? index >= o_.requests : Clock::now() >= end_) return;
      const auto begin = Clock::now();
      const int status = exchange(request_text(index), s, session);
      if (status <= 0) continue;
      s.latencies_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - begin).count());
      ++s.statuses[status];
    }
  }

  // One request on a fresh connection; the reply's status, or 0 on failure.
  int exchange(const std::string& request, Stats& s,
               std::unique_ptr<SSL_SESSION, decltype(&SSL_SESSION_free)>& session) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return s.fail(std::string("socket: ") + std::strerror(errno));
    const struct Closer {
      int fd;
      ~Closer() { ::close(fd); }
    } closer{fd};
    const timeval timeout{kIoTimeoutSeconds, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    // As the agent's client: the request follows the client's last handshake
    // message at once instead of waiting for its acknowledgement.
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<std::uint16_t>(o_.port));
    peer.sin_addr = address_;
    if (connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
      return s.fail(std::string("connect: ") + std::strerror(errno));
    }
    std::string head;
    char buffer[16384];
    if (!tls_) {
      for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return s.fail(std::string("send: ") + std::strerror(errno));
        sent += static_cast<std::size_t>(n);
      }
      for (ssize_t n; (n = recv(fd, buffer, sizeof buffer, 0)) > 0;) keep_head(head, buffer, n);
    } else {
      std::unique_ptr<SSL, decltype(&SSL_free)> ssl(SSL_new(tls_.get()), SSL_free);
      ERR_clear_error();
      if (!ssl || SSL_set_fd(ssl.get(), fd) != 1) return s.fail("TLS set-up failed");
      if (o_.host == "localhost") {
        SSL_set_tlsext_host_name(ssl.get(), "localhost");
        SSL_set1_host(ssl.get(), "localhost");
      } else {
        X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), o_.host.c_str());
      }
      if (o_.resume && session) SSL_set_session(ssl.get(), session.get());
      if (SSL_connect(ssl.get()) != 1) {
        const long verify = SSL_get_verify_result(ssl.get());
        ERR_clear_error();
        return s.fail(verify != X509_V_OK ? std::string("TLS verify: ") + X509_verify_cert_error_string(verify)
                                          : std::string("TLS handshake failed"));
      }
      if (SSL_session_reused(ssl.get())) ++s.resumed;
      if (SSL_write(ssl.get(), request.data(), static_cast<int>(request.size())) <= 0) {
        ERR_clear_error();
        return s.fail("TLS write failed");
      }
      for (int n; (n = SSL_read(ssl.get(), buffer, sizeof buffer)) > 0;) keep_head(head, buffer, n);
      SSL_shutdown(ssl.get());  // a session closed without it is not resumable
      ERR_clear_error();
      if (o_.resume) session.reset(SSL_get1_session(ssl.get()));
    }
    // "HTTP/1.0 200 ..."
    if (head.size() < 12 || head.compare(0, 7, "HTTP/1.") != 0) return s.fail("malformed or missing reply");
    return std::atoi(head.substr(9, 3).c_str());
  }

  static void keep_head(std::string& head, const char* data, long length) {
    if (head.size() < kStatusPrefixBytes) {
      head.append(data, std::min(static_cast<std::size_t>(length), kStatusPrefixBytes - head.size()));
    }
  }

  void report(const std::vector<Stats>& stats, double elapsed) const {
    std::map<int, long> statuses;
    long errors = 0, resumed = 0;
    std::vector<double> latencies;
    std::string first_error;
    for (const Stats& s : stats) {
      for (const auto& [status, count] : s.statuses) statuses[status] += count;
      errors += s.errors;
      resumed += s.resumed;
      latencies.insert(latencies.end(), s.latencies_ms.begin(), s.latencies_ms.end());
      if (first_error.empty()) first_error = s.first_error;
    }
    std::sort(latencies.begin(), latencies.end());
    const auto percentile = [&](double p) {
      if (latencies.empty()) return 0.0;
      const auto rank = static_cast<std::size_t>(p / 100.0 * static_cast<double>(latencies.size()) + 0.999999);
      return latencies[std::clamp<std::size_t>(rank, 1, latencies.size()) - 1];
    };
    std::printf("responses %zu\n", latencies.size());
    std::printf("errors %ld\n", errors);
    std::printf("elapsed_seconds %.3f\n", elapsed);
    std::printf("requests_per_second %.1f\n", elapsed > 0 ? static_cast<double>(latencies.size()) / elapsed : 0.0);
    for (const auto& [status, count] : statuses) std::printf("status_%d %ld\n", status, count);
    std::printf("latency_ms_p50 %.3f\n", percentile(50));
    std::printf("latency_ms_p90 %.3f\n", percentile(90));
    std::printf("latency_ms_p99 %.3f\n", percentile(99));
    std::printf("latency_ms_max %.3f\n", latencies.empty() ? 0.0 : latencies.back());
    if (o_.tls) std::printf("tls_sessions_resumed %ld\n", resumed);
    if (!first_error.empty()) std::fprintf(stderr, "loadgen: first error: %s\n", first_error.c_str());
  }

  const Options o_;
  const in_addr address_;
  long total_weight_ = 0;
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> tls_{nullptr, SSL_CTX_free};
  std::atomic<long> next_{0};
  Clock::time_point end_;
};

}  // namespace

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);  // OpenSSL writes without MSG_NOSIGNAL
  Driver driver(parse(argc, argv));
  driver.run();
  return 0;
}
