#include "server/http/exclusive_http_server.h"
#include "server/http/request_reader.h"
#include "tests/support/temp_folder.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509v3.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace halvenor::http {
namespace {

// Guards the tests against hanging on a server fault; never reached when the
// server behaves.
constexpr int kClientGuardSeconds = 20;

// ---- plain socket client ----

class Socket {
 public:
  // `source`: the loopback address to connect from (all of 127/8 is local).
  explicit Socket(int port, const char* source = "127.0.0.1") : fd_(socket(AF_INET, SOCK_STREAM, 0)) {
    if (fd_ < 0) throw std::runtime_error("socket failed");
    const timeval guard{kClientGuardSeconds, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &guard, sizeof guard);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    if (inet_pton(AF_INET, source, &local.sin_addr) != 1 ||
        bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
      ::close(fd_);
      throw std::runtime_error(std::string("cannot bind to ") + source);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(fd_);
      throw std::runtime_error("connect failed");
    }
  }
  ~Socket() { ::close(fd_); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  int fd() const { return fd_; }

  void send_text(std::string_view text) {
    while (!text.empty()) {
      const ssize_t sent = ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL);
      if (sent <= 0) return;  // the server may already have answered and closed
      text.remove_prefix(static_cast<std::size_t>(sent));
    }
  }

  void end_sending() { ::shutdown(fd_, SHUT_WR); }

  // Everything up to the server closing the connection.
  std::string read_all() {
    std::string received;
    char buffer[4096];
    for (;;) {
      const ssize_t count = ::recv(fd_, buffer, sizeof buffer, 0);
      if (count <= 0) return received;
      received.append(buffer, static_cast<std::size_t>(count));
    }
  }

  // True while the server keeps the connection open without answering.
  bool open_and_silent() {
    char byte;
    const ssize_t count = ::recv(fd_, &byte, 1, MSG_DONTWAIT);
    return count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  }

 private:
  int fd_;
};

std::string exchange(int port, std::string_view request, const char* source = "127.0.0.1") {
  Socket client(port, source);
  client.send_text(request);
  return client.read_all();
}

int status_of(const std::string& reply) {
  if (reply.rfind("HTTP/1.0 ", 0) != 0 || reply.size() < 12) return 0;
  return std::stoi(reply.substr(9, 3));
}

std::string body_of(const std::string& reply) {
  const std::size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(end + 4);
}

// "Sun, 06 Nov 1994 08:49:37 GMT": A upper case, a lower case, 0 a digit.
bool imf_fixdate_shaped(const std::string& date) {
  const std::string shape = "Aaa, 00 Aaa 0000 00:00:00 GMT";
  if (date.size() != shape.size()) return false;
  for (std::size_t i = 0; i < shape.size(); ++i) {
    const char c = date[i];
    const bool fits = shape[i] == 'A'   ? c >= 'A' && c <= 'Z'
                      : shape[i] == 'a' ? c >= 'a' && c <= 'z'
                      : shape[i] == '0' ? c >= '0' && c <= '9'
                                        : c == shape[i];
    if (!fits) return false;
  }
  return true;
}

// ---- a server running on its own thread ----

HttpResponse echo(const HttpRequest& request) {
  HttpResponse response;
  response.body = request.method + " " + request.target + " " + request.body;
  response.headers = {{"Content-Type", "text/plain"},
                      {"Content-Length", std::to_string(response.body.size())},
                      {"X-Last", "yes"}};
  return response;
}

class RunningServer {
 public:
  explicit RunningServer(ExclusiveHTTPServer::Handler handler, ServerLimits limits = {},
                         std::shared_ptr<TlsContext> tls = nullptr)
      : server_("127.0.0.1", 0, limits) {
    server_.set_handler(std::move(handler));
    server_.set_server_version("Halvenor/test");
    if (tls) server_.enable_tls(std::move(tls));
    thread_ = std::thread([this] { server_.serve_until(stop_); });
  }
  ~RunningServer() {
    stop_ = true;
    thread_.join();
  }
  int port() const { return server_.port(); }

 private:
  ExclusiveHTTPServer server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// ---- plain HTTP ----

TEST(ExclusiveHttpServerTest, AnswersWithStatusLineServerDateThenHandlerHeaders) {
  RunningServer server(echo);
  const std::string reply = exchange(server.port(), "GET /api/version?x=1 HTTP/1.0\r\nHost: h\r\n\r\n");
  const std::string head = "HTTP/1.0 200 OK\r\nServer: Halvenor/test\r\nDate: ";
  ASSERT_EQ(reply.substr(0, head.size()), head) << reply;
  const std::string date = reply.substr(head.size(), reply.find("\r\n", head.size()) - head.size());
  EXPECT_TRUE(imf_fixdate_shaped(date)) << date;
  EXPECT_EQ(reply.substr(head.size() + date.size()),
            "\r\nContent-Type: text/plain\r\nContent-Length: 21\r\nX-Last: yes\r\n\r\n"
            "GET /api/version?x=1 ");

  const std::string posted = exchange(
      server.port(), "POST /api/alerts HTTP/1.0\r\nContent-Length: 7\r\n\r\n{\"a\":1}and more");
  EXPECT_EQ(status_of(posted), 200);
  EXPECT_EQ(body_of(posted), "POST /api/alerts {\"a\":1}");
}

TEST(ExclusiveHttpServerTest, ProtocolFaultsAreAnsweredWithoutTheHandler) {
  std::atomic<int> calls{0};
  RunningServer server([&](const HttpRequest& request) {
    ++calls;
    return echo(request);
  });
  const std::string long_target(kMaxRequestLineBytes, 'a');
  const std::string long_header = "X-Long: " + std::string(kMaxHeaderLineBytes, 'h') + "\r\n";
  std::string many_headers;
  for (std::size_t i = 0; i <= kMaxHeaderCount; ++i) many_headers += "X-" + std::to_string(i) + ": v\r\n";
  const struct {
    std::string request;
    int status;
  } cases[] = {
      {"PUT /api/alerts HTTP/1.0\r\nContent-Length: 2\r\n\r\n{}", 501},
      {"DELETE / HTTP/1.0\r\n\r\n", 501},
      {"GET /" + long_target + " HTTP/1.0\r\n\r\n", 414},
      {"GET / HTTP/1.0\r\n" + long_header + "\r\n", 431},
      {"GET / HTTP/1.0\r\n" + many_headers + "\r\n", 431},
      {"GET / HTTP/9.9\r\n\r\n", 400},
      {"garbage\r\n\r\n", 400},
      {"GET / HTTP/1.0\r\nX-A: 1\r\n folded\r\n\r\n", 400},
  };
  for (const auto& c : cases) {
    const std::string reply = exchange(server.port(), c.request);
    EXPECT_EQ(status_of(reply), c.status) << c.request.substr(0, 40);
    EXPECT_NE(reply.find("\r\nContent-Type: text/html"), std::string::npos);
    EXPECT_EQ(reply.find("Cache-Control"), std::string::npos);
  }
  EXPECT_EQ(calls.load(), 0);
}

TEST(ExclusiveHttpServerTest, BodyEndingEarlyIsBadRequest) {
  std::atomic<int> calls{0};
  RunningServer server([&](const HttpRequest& request) {
    ++calls;
    return echo(request);
  });
  Socket client(server.port());
  client.send_text("POST /api/alerts HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc");
  client.end_sending();
  EXPECT_EQ(status_of(client.read_all()), 400);
  EXPECT_EQ(calls.load(), 0);
}

TEST(ExclusiveHttpServerTest, UnusableContentLengthDispatchesWithoutBody) {
  RunningServer server([](const HttpRequest& request) {
    HttpResponse response;
    response.status = 413;
    response.body = "body bytes seen: " + std::to_string(request.body.size());
    return response;
  });
  // The oversized body still arrives after the reply; the client must get
  // the reply all the same.
  const std::string big(kMaxBodyBytes + 1, 'x');
  const std::string reply = exchange(
      server.port(),
      "POST /x HTTP/1.0\r\nContent-Length: " + std::to_string(big.size()) + "\r\n\r\n" + big);
  EXPECT_EQ(status_of(reply), 413);
  EXPECT_EQ(body_of(reply), "body bytes seen: 0");
  EXPECT_EQ(body_of(exchange(server.port(), "POST /x HTTP/1.0\r\nContent-Length: abc\r\n\r\n")),
            "body bytes seen: 0");
}

TEST(ExclusiveHttpServerTest, HandlerFailureIsInternalErrorAndServingGoesOn) {
  RunningServer server([](const HttpRequest& request) -> HttpResponse {
    if (request.target == "/throw") throw std::runtime_error("boom (expected by the test)");
    if (request.target == "/int") throw 7;
    if (request.target == "/inject") return HttpResponse{200, {{"X-Bad", "a\r\nSet-Cookie: x"}}, ""};
    return echo(request);
  });
  for (const char* target : {"/throw", "/int", "/inject"}) {
    const std::string reply = exchange(server.port(), "GET " + std::string(target) + " HTTP/1.0\r\n\r\n");
    EXPECT_EQ(status_of(reply), 500) << target;
    EXPECT_EQ(reply.find("Set-Cookie"), std::string::npos);
  }
  EXPECT_EQ(status_of(exchange(server.port(), "GET /fine HTTP/1.0\r\n\r\n")), 200);
}

TEST(ExclusiveHttpServerTest, StalledClientsDoNotHoldUpOthers) {
  RunningServer server(echo, ServerLimits{.worker_threads = 1});
  Socket half_line(server.port());
  half_line.send_text("GET /slow");
  Socket half_headers(server.port());
  half_headers.send_text("GET / HTTP/1.0\r\nHost: x");
  Socket half_body(server.port());
  half_body.send_text("POST / HTTP/1.0\r\nContent-Length: 100\r\n\r\nabc");
  Socket silent(server.port());

  EXPECT_EQ(body_of(exchange(server.port(), "GET /quick HTTP/1.0\r\n\r\n")), "GET /quick ");
  // Answered while every stalled connection is still waiting, so the reply did
  // not wait for any of them to time out.
  for (Socket* stalled : {&half_line, &half_headers, &half_body, &silent}) {
    EXPECT_TRUE(stalled->open_and_silent());
  }
  // And a stalled client that finishes is served normally.
  half_headers.send_text("\r\n\r\n");
  EXPECT_EQ(body_of(half_headers.read_all()), "GET / ");
}

TEST(ExclusiveHttpServerTest, ReadDeadlineAnswers408OnlyToStartedRequests) {
  RunningServer server(echo, ServerLimits{.read_deadline = std::chrono::milliseconds(200)});
  Socket stalled(server.port());
  stalled.send_text("POST / HTTP/1.0\r\nContent-Length: 5\r\n\r\nab");
  Socket silent(server.port());
  EXPECT_EQ(status_of(stalled.read_all()), 408);
  EXPECT_EQ(silent.read_all(), "");  // closed without a reply
}

// A full table makes room by closing the connection that has been reading
// its request longest; a request a worker is answering is never the one cut.
TEST(ExclusiveHttpServerTest, FullTableEvictsTheOldestUnfinishedRequestOnly) {
  std::mutex mutex;
  std::condition_variable changed;
  bool holding = false;
  bool release = false;
  RunningServer server(
      [&](const HttpRequest& request) {
        if (request.target == "/held") {
          std::unique_lock lock(mutex);
          holding = true;
          changed.notify_all();
          changed.wait_for(lock, std::chrono::seconds(kClientGuardSeconds), [&] { return release; });
        }
        return echo(request);
      },
      ServerLimits{.max_open_connections = 3});
  Socket held(server.port());
  held.send_text("GET /held HTTP/1.0\r\n\r\n");
  {
    std::unique_lock lock(mutex);
    ASSERT_TRUE(changed.wait_for(lock, std::chrono::seconds(kClientGuardSeconds), [&] { return holding; }));
  }
  Socket oldest(server.port());
  oldest.send_text("GET /oldest HTTP/1.0\r\n");
  Socket newer(server.port());
  newer.send_text("GET /newer HTTP/1.0\r\n");

  EXPECT_EQ(body_of(exchange(server.port(), "GET /late HTTP/1.0\r\n\r\n")), "GET /late ");
  EXPECT_EQ(oldest.read_all(), "");
  newer.send_text("\r\n");
  EXPECT_EQ(body_of(newer.read_all()), "GET /newer ");
  {
    std::lock_guard lock(mutex);
    release = true;
  }
  changed.notify_all();
  EXPECT_EQ(body_of(held.read_all()), "GET /held ");
}

TEST(ExclusiveHttpServerTest, OneAddressHoldsAtMostItsShareOfConnections) {
  RunningServer server(echo, ServerLimits{.max_connections_per_address = 2});
  Socket first(server.port(), "127.0.0.2");
  first.send_text("GET /first HTTP/1.0\r\n");
  Socket second(server.port(), "127.0.0.2");
  second.send_text("GET /second HTTP/1.0\r\n");
  Socket third(server.port(), "127.0.0.2");
  EXPECT_EQ(third.read_all(), "");
  EXPECT_EQ(body_of(exchange(server.port(), "GET /other HTTP/1.0\r\n\r\n", "127.0.0.1")), "GET /other ");
  first.send_text("\r\n");
  EXPECT_EQ(body_of(first.read_all()), "GET /first ");
}

// Ten thousand idle connections from one client, more than the whole table,
// while another client's requests go on being answered.
TEST(ExclusiveHttpServerTest, IdleFloodFromOneAddressLocksNobodyOut) {
  constexpr std::size_t kIdle = 10'000;
  // The flood's client ends and up to a table's worth of server ends.
  rlimit limit{};
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  limit.rlim_cur = limit.rlim_max;
  setrlimit(RLIMIT_NOFILE, &limit);
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
  if (limit.rlim_cur < kIdle + kMaxOpenConnections + 512) {
    GTEST_SKIP() << "open-file limit " << limit.rlim_cur << " is too low for the flood";
  }
  RunningServer server(echo);
  std::vector<std::unique_ptr<Socket>> idle;
  idle.reserve(kIdle);
  for (std::size_t i = 0; i < kIdle; ++i) idle.push_back(std::make_unique<Socket>(server.port(), "127.0.0.2"));
  for (int i = 0; i < 20; ++i) {
    const std::string target = "/ok" + std::to_string(i);
    EXPECT_EQ(body_of(exchange(server.port(), "GET " + target + " HTTP/1.0\r\n\r\n")), "GET " + target + " ");
  }
}

// Every refused request gives its connection back: with room for two, many
// more faulty requests in a row than that are each answered, and a good
// request after them is still served.
TEST(ExclusiveHttpServerTest, RefusedRequestsFreeTheirConnectionSlot) {
  RunningServer server(echo, ServerLimits{.max_open_connections = 2});
  const std::string long_header = "X-Long: " + std::string(kMaxHeaderLineBytes + 1, 'h') + "\r\n";
  std::string many_headers;
  for (std::size_t i = 0; i <= kMaxHeaderCount; ++i) many_headers += "X-" + std::to_string(i) + ": v\r\n";
  const struct {
    std::string request;
    bool end_early;
    int status;
  } faults[] = {
      {"GET /" + std::string(kMaxRequestLineBytes, 'a') + " HTTP/1.0\r\n\r\n", false, 414},
      {"GET / HTTP/1.0\r\n" + long_header + "\r\n", false, 431},
      {"GET / HTTP/1.0\r\n" + many_headers + "\r\n", false, 431},
      {"POST / HTTP/1.0\r\nContent-Length: 40\r\n\r\nshort", true, 400},
      {std::string("\x16\x03\x01\x00\x05\xff\xfe\x00\x01\r\n\r\n", 13), false, 400},
  };
  for (int round = 0; round < 3; ++round) {
    for (const auto& fault : faults) {
      Socket client(server.port());
      client.send_text(fault.request);
      if (fault.end_early) client.end_sending();
      EXPECT_EQ(status_of(client.read_all()), fault.status) << "round " << round << ": " << fault.request.substr(0, 30);
    }
  }
  EXPECT_EQ(body_of(exchange(server.port(), "GET /after HTTP/1.0\r\n\r\n")), "GET /after ");
}

TEST(ExclusiveHttpServerTest, BindingRefusals) {
  ExclusiveHTTPServer holder("127.0.0.1", 0);
  try {
    ExclusiveHTTPServer second("127.0.0.1", holder.port());
    FAIL() << "a second server bound the same port";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("127.0.0.1:" + std::to_string(holder.port())),
              std::string::npos)
        << error.what();
  }
  EXPECT_THROW(ExclusiveHTTPServer("localhost", 0), std::runtime_error);
  EXPECT_THROW(ExclusiveHTTPServer("10.0.0", 0), std::runtime_error);
  EXPECT_THROW(ExclusiveHTTPServer("127.0.0.1", 65536), std::runtime_error);
  EXPECT_NO_THROW(ExclusiveHTTPServer("::1", 0));
}

TEST(ExclusiveHttpServerTest, ServiceActionRunsOnTheServeThreadUntilStopped) {
  ExclusiveHTTPServer server("127.0.0.1", 0);
  std::atomic<bool> stop{false};
  int calls = 0;
  const auto serving_thread = std::this_thread::get_id();
  bool same_thread = true;
  server.set_service_action([&] {
    same_thread = same_thread && std::this_thread::get_id() == serving_thread;
    if (++calls == 2) stop = true;
  });
  server.serve_until(stop);
  EXPECT_EQ(calls, 2);
  EXPECT_TRUE(same_thread);
  EXPECT_EQ(server.tls_context(), nullptr);
  server.close();
  server.close();  // idempotent
}

// ---- TLS ----

struct TestCertificate {
  std::string cert_path;
  std::string key_path;
};

// A self-signed EC P-256 certificate for 127.0.0.1 and localhost.
TestCertificate make_certificate(const std::filesystem::path& dir, const std::string& name,
                                 long serial) {
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
  std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
  if (!key || !cert) throw std::runtime_error("cannot make test certificate");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* subject = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>("127.0.0.1"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), subject);
  X509V3_CTX context;
  X509V3_set_ctx_nodb(&context);
  X509V3_set_ctx(&context, cert.get(), cert.get(), nullptr, nullptr, 0);
  X509_EXTENSION* names = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name,
                                              "IP:127.0.0.1,DNS:localhost");
  if (names == nullptr || X509_add_ext(cert.get(), names, -1) != 1 ||
      X509_sign(cert.get(), key.get(), EVP_sha256()) == 0) {
    throw std::runtime_error("cannot sign test certificate");
  }
  X509_EXTENSION_free(names);
  TestCertificate files{(dir / (name + ".crt")).string(), (dir / (name + ".key")).string()};
  FILE* cert_file = std::fopen(files.cert_path.c_str(), "w");
  FILE* key_file = std::fopen(files.key_path.c_str(), "w");
  const bool written = cert_file && key_file && PEM_write_X509(cert_file, cert.get()) &&
                       PEM_write_PrivateKey(key_file, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
  if (cert_file) std::fclose(cert_file);
  if (key_file) std::fclose(key_file);
  if (!written) throw std::runtime_error("cannot write test certificate");
  return files;
}

struct TlsReply {
  bool handshake_ok = false;
  long serial = -1;
  bool resumed = false;
  std::string bytes;
};

// A TLS client that trusts only `ca_path` and checks the 127.0.0.1 identity.
class TlsClient {
 public:
  explicit TlsClient(const std::string& ca_path) : ctx_(SSL_CTX_new(TLS_client_method()), SSL_CTX_free) {
    SSL_CTX_set_verify(ctx_.get(), SSL_VERIFY_PEER, nullptr);
    if (SSL_CTX_load_verify_locations(ctx_.get(), ca_path.c_str(), nullptr) != 1) {
      throw std::runtime_error("cannot load test CA");
    }
  }
  ~TlsClient() { SSL_SESSION_free(session_); }

  // Connects and completes the handshake; the request is sent by `finish`.
  struct Connection {
    std::unique_ptr<Socket> socket;
    std::unique_ptr<SSL, decltype(&SSL_free)> ssl{nullptr, SSL_free};
    TlsReply reply;
  };

  Connection connect(int port) {
    Connection c;
    c.socket = std::make_unique<Socket>(port);
    c.ssl.reset(SSL_new(ctx_.get()));
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(c.ssl.get()), "127.0.0.1");
    SSL_set_fd(c.ssl.get(), c.socket->fd());
    if (session_ != nullptr) SSL_set_session(c.ssl.get(), session_);
    c.reply.handshake_ok = SSL_connect(c.ssl.get()) == 1;
    ERR_clear_error();
    if (!c.reply.handshake_ok) return c;
    c.reply.resumed = SSL_session_reused(c.ssl.get()) == 1;
    X509* peer = SSL_get1_peer_certificate(c.ssl.get());
    c.reply.serial = ASN1_INTEGER_get(X509_get_serialNumber(peer));
    X509_free(peer);
    return c;
  }

  TlsReply finish(Connection& c, std::string_view request) {
    if (!c.reply.handshake_ok) return c.reply;
    SSL_write(c.ssl.get(), request.data(), static_cast<int>(request.size()));
    char buffer[4096];
    for (int count; (count = SSL_read(c.ssl.get(), buffer, sizeof buffer)) > 0;) {
      c.reply.bytes.append(buffer, static_cast<std::size_t>(count));
    }
    SSL_shutdown(c.ssl.get());  // without it OpenSSL marks the session unresumable
    ERR_clear_error();
    // Sessions (TLS 1.3 tickets) arrive after the handshake; keep the latest.
    SSL_SESSION_free(session_);
    session_ = SSL_get1_session(c.ssl.get());
    return c.reply;
  }

  TlsReply request(int port, std::string_view text) {
    Connection c = connect(port);
    return finish(c, text);
  }

 private:
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx_;
  SSL_SESSION* session_ = nullptr;
};

class TlsServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    first_ = make_certificate(dir_, "first", 1001);
    second_ = make_certificate(dir_, "second", 2002);
  }

  test_support::TempFolder folder_;
  const std::filesystem::path& dir_ = folder_.path();
  TestCertificate first_;
  TestCertificate second_;
};

TEST_F(TlsServerTest, ServesVerifiedHttpsWithResumableSessions) {
  RunningServer server(echo, {}, TlsContext::from_files(first_.cert_path, first_.key_path));
  TlsClient client(first_.cert_path);
  const TlsReply reply = client.request(server.port(), "POST /x HTTP/1.0\r\nContent-Length: 2\r\n\r\nhi");
  ASSERT_TRUE(reply.handshake_ok);
  EXPECT_EQ(reply.serial, 1001);
  EXPECT_FALSE(reply.resumed);
  EXPECT_EQ(status_of(reply.bytes), 200);
  EXPECT_EQ(body_of(reply.bytes), "POST /x hi");

  const TlsReply again = client.request(server.port(), "GET /again HTTP/1.0\r\n\r\n");
  EXPECT_TRUE(again.resumed);
  EXPECT_EQ(body_of(again.bytes), "GET /again ");

  // Protocol faults are answered inside TLS too.
  EXPECT_EQ(status_of(client.request(server.port(), "PUT / HTTP/1.0\r\n\r\n").bytes), 501);
}

TEST_F(TlsServerTest, StalledHandshakesDoNotHoldUpOthers) {
  RunningServer server(echo, ServerLimits{.worker_threads = 1},
                       TlsContext::from_files(first_.cert_path, first_.key_path));
  Socket silent(server.port());
  Socket partial_hello(server.port());
  partial_hello.send_text(std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11));
  TlsClient client(first_.cert_path);
  TlsClient::Connection mid_request = client.connect(server.port());
  ASSERT_TRUE(mid_request.reply.handshake_ok);
  SSL_write(mid_request.ssl.get(), "GET /half", 9);

  const TlsReply reply = client.request(server.port(), "GET /quick HTTP/1.0\r\n\r\n");
  EXPECT_EQ(body_of(reply.bytes), "GET /quick ");
  EXPECT_TRUE(silent.open_and_silent());
  EXPECT_TRUE(partial_hello.open_and_silent());
  EXPECT_EQ(body_of(client.finish(mid_request, " HTTP/1.0\r\n\r\n").bytes), "GET /half ");
}

TEST_F(TlsServerTest, ReloadServesTheNewCertificateToNewConnectionsOnly) {
  const auto tls = TlsContext::from_files(first_.cert_path, first_.key_path);
  RunningServer server(echo, {}, tls);
  TlsClient trusts_first(first_.cert_path);
  TlsClient::Connection in_flight = trusts_first.connect(server.port());
  ASSERT_EQ(in_flight.reply.serial, 1001);

  tls->reload(second_.cert_path, second_.key_path);
  TlsClient trusts_second(second_.cert_path);
  const TlsReply renewed = trusts_second.request(server.port(), "GET /new HTTP/1.0\r\n\r\n");
  EXPECT_EQ(renewed.serial, 2002);
  EXPECT_EQ(body_of(renewed.bytes), "GET /new ");
  EXPECT_FALSE(trusts_first.request(server.port(), "GET / HTTP/1.0\r\n\r\n").handshake_ok);
  // The connection made before the reload finishes with the old certificate.
  EXPECT_EQ(body_of(trusts_first.finish(in_flight, "GET /old HTTP/1.0\r\n\r\n").bytes), "GET /old ");

  // A failed reload keeps the current certificate.
  EXPECT_THROW(tls->reload(first_.cert_path, second_.key_path), std::runtime_error);
  EXPECT_EQ(trusts_second.request(server.port(), "GET / HTTP/1.0\r\n\r\n").serial, 2002);
}

TEST_F(TlsServerTest, UnusableFilesAreRefusedWithTheirName) {
  const auto message_of = [](const std::string& cert, const std::string& key) -> std::string {
    try {
      TlsContext::from_files(cert, key);
    } catch (const std::runtime_error& error) {
      return error.what();
    }
    return "";
  };
  const std::string missing = (dir_ / "missing.crt").string();
  EXPECT_NE(message_of(missing, first_.key_path).find(missing), std::string::npos);
  EXPECT_NE(message_of(first_.cert_path, first_.cert_path).find("private key"), std::string::npos);
  EXPECT_NE(message_of(first_.cert_path, second_.key_path).find("does not match"), std::string::npos);

  // A key protected by a pass phrase is refused instead of prompting for one.
  const std::string locked = (dir_ / "locked.key").string();
  FILE* plain = std::fopen(first_.key_path.c_str(), "r");
  EVP_PKEY* key = PEM_read_PrivateKey(plain, nullptr, nullptr, nullptr);
  std::fclose(plain);
  FILE* out = std::fopen(locked.c_str(), "w");
  char phrase[] = "secret";
  PEM_write_PrivateKey(out, key, EVP_aes_128_cbc(), nullptr, 0, nullptr, phrase);
  std::fclose(out);
  EVP_PKEY_free(key);
  EXPECT_NE(message_of(first_.cert_path, locked).find(locked), std::string::npos);
}


// ---- binding ----

TEST(ExclusiveHttpServerTest, SecondListenerOnTheSamePortIsRefused) {
  RunningServer first(echo);
  EXPECT_THROW(ExclusiveHTTPServer("127.0.0.1", first.port()), std::runtime_error);
}

TEST(ExclusiveHttpServerTest, PortCanBeBoundAgainRightAfterServingTraffic) {
  int port = 0;
  {
    RunningServer server(echo);
    port = server.port();
    // Connections the server closed first leave TIME_WAIT entries behind.
    for (int i = 0; i < 5; ++i)
      EXPECT_NE(exchange(port, "GET /x HTTP/1.0\r\n\r\n").find("200"), std::string::npos);
  }
  EXPECT_NO_THROW(ExclusiveHTTPServer("127.0.0.1", port));
}

}  // namespace
}  // namespace halvenor::http
