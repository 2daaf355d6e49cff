#include "tests/companions/fake_gateway.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <stdexcept>

#include "net/certificates.h"

namespace halvenor::testing {
namespace {

constexpr int kHandlerThreads = 16;
constexpr int kAcceptPollMs = 50;
constexpr int kSocketTimeoutSeconds = 5;
constexpr std::size_t kMaxRequestBytes = 256 * 1024;

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

// One accepted connection, plain or TLS.
class Peer {
 public:
  Peer(int fd, SSL_CTX* tls) : fd_(fd) {
    timeval timeout{kSocketTimeoutSeconds, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    setsockopt(fd_, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    if (tls != nullptr) {
      ssl_ = SSL_new(tls);
      SSL_set_fd(ssl_, fd_);
      ok_ = SSL_accept(ssl_) == 1;
    }
  }
  ~Peer() {
    if (ssl_ != nullptr) {
      if (!reset_) SSL_shutdown(ssl_);
      SSL_free(ssl_);
    }
    ::close(fd_);
  }
  bool ok() const { return ok_; }
  long read(char* buffer, std::size_t size) {
    if (ssl_ != nullptr) {
      int n = SSL_read(ssl_, buffer, static_cast<int>(size));
      return n > 0 ? n : 0;
    }
    ssize_t n = ::recv(fd_, buffer, size, 0);
    return n > 0 ? n : 0;
  }
  void write(const std::string& bytes) {
    if (ssl_ != nullptr) {
      SSL_write(ssl_, bytes.data(), static_cast<int>(bytes.size()));
      return;
    }
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return;
      done += static_cast<std::size_t>(n);
    }
  }
  // Closing with a zero linger time sends a TCP reset instead of a FIN.
  void reset() {
    linger hard{1, 0};
    setsockopt(fd_, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    reset_ = true;
  }

 private:
  int fd_;
  SSL* ssl_ = nullptr;
  bool ok_ = true;
  bool reset_ = false;
};

std::string reply(int status, const char* reason, const std::string& body) {
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

}  // namespace

FakeGateway::FakeGateway(std::string cert_pem, std::string key_pem, std::string idempotency_header)
    : idempotency_header_(lower(std::move(idempotency_header))) {
  if (!cert_pem.empty()) {
    tls_.reset(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    setup::X509Ptr cert = setup::cert_load(cert_pem);
    setup::EvpKeyPtr key = setup::private_key_load(key_pem);
    if (SSL_CTX_use_certificate(tls_.get(), cert.get()) != 1 || SSL_CTX_use_PrivateKey(tls_.get(), key.get()) != 1)
      throw std::runtime_error("fake gateway: certificate and key do not load");
  }
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = 0;
  if (listen_fd_ < 0 || ::bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listen_fd_, 256) != 0)
    throw std::runtime_error("fake gateway: cannot listen on loopback");
  socklen_t length = sizeof address;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length);
  port_ = ntohs(address.sin_port);
  for (int i = 0; i < kHandlerThreads; ++i) handlers_.emplace_back([this] { serve(); });
}

FakeGateway::~FakeGateway() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  changed_.notify_all();
  for (auto& t : handlers_) t.join();
  ::close(listen_fd_);
}

std::string FakeGateway::url(const std::string& path) const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) + path;
}

void FakeGateway::answer_with(Answer answer) {
  std::lock_guard lock(mutex_);
  default_answer_ = answer;
}

void FakeGateway::script(std::vector<Answer> answers) {
  std::lock_guard lock(mutex_);
  scripted_.assign(answers.begin(), answers.end());
}

void FakeGateway::release_hung() {
  {
    std::lock_guard lock(mutex_);
    released_ = true;
  }
  changed_.notify_all();
}

std::vector<FakeGateway::Request> FakeGateway::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t FakeGateway::request_count() const {
  std::lock_guard lock(mutex_);
  return requests_.size();
}

std::size_t FakeGateway::unique_deliveries() const {
  std::lock_guard lock(mutex_);
  return delivered_.size();
}

std::size_t FakeGateway::requests_with_key(const std::string& key) const {
  std::lock_guard lock(mutex_);
  std::size_t n = 0;
  for (const Request& r : requests_) n += r.key == key;
  return n;
}

bool FakeGateway::wait_for_requests(std::size_t n, std::chrono::milliseconds limit) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, limit, [&] { return requests_.size() >= n; });
}

void FakeGateway::serve() {
  while (!stopping_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, kAcceptPollMs) <= 0) continue;
    int fd = ::accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;  // another handler took it
    handle(fd);
  }
}

FakeGateway::Answer FakeGateway::next_answer(bool connection_test, const std::string& key, bool& duplicate) {
  duplicate = !connection_test && !key.empty() && delivered_.count(key) != 0;
  if (duplicate) return Answer::Ok;
  Answer answer = default_answer_;
  if (!scripted_.empty()) {
    answer = scripted_.front();
    scripted_.pop_front();
  }
  if (!connection_test &&
      (answer == Answer::Ok || answer == Answer::AcceptThenHang || answer == Answer::AcceptThenReset))
    delivered_.insert(key);
  return answer;
}

void FakeGateway::handle(int fd) {
  Peer peer(fd, tls_.get());
  if (!peer.ok()) return;
  std::string raw;
  char buffer[4096];
  std::size_t head_end;
  while ((head_end = raw.find("\r\n\r\n")) == std::string::npos) {
    long n = peer.read(buffer, sizeof buffer);
    if (n <= 0 || raw.size() > kMaxRequestBytes) return;
    raw.append(buffer, static_cast<std::size_t>(n));
  }
  Request request;
  std::size_t line_end = raw.find("\r\n");
  std::string line = raw.substr(0, line_end);
  std::size_t space = line.find(' ');
  request.method = line.substr(0, space);
  request.target = line.substr(space + 1, line.rfind(' ') - space - 1);
  std::size_t at = line_end + 2;
  while (at < head_end) {
    std::size_t end = raw.find("\r\n", at);
    std::string header = raw.substr(at, end - at);
    at = end + 2;
    std::size_t colon = header.find(':');
    if (colon == std::string::npos) continue;
    std::string value = header.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    request.headers[lower(header.substr(0, colon))] = value;
  }
  std::size_t length = request.headers.count("content-length") ? std::stoul(request.headers["content-length"]) : 0;
  std::string body = raw.substr(head_end + 4);
  while (body.size() < length) {
    long n = peer.read(buffer, sizeof buffer);
    if (n <= 0) return;
    body.append(buffer, static_cast<std::size_t>(n));
  }
  request.body = body;
  try {
    request.json = json::parse_text(body);
  } catch (const std::exception&) {
    request.json = nullptr;
  }
  request.key = request.headers.count(idempotency_header_) ? request.headers[idempotency_header_] : "";
  const bool connection_test = request.headers.count("x-halvenor-test") && request.headers["x-halvenor-test"] == "1";

  Answer answer;
  bool duplicate = false;
  std::size_t number;
  {
    std::lock_guard lock(mutex_);
    answer = next_answer(connection_test, request.key, duplicate);
    requests_.push_back(request);
    number = requests_.size();
  }
  changed_.notify_all();

  switch (answer) {
    case Answer::Ok:
      peer.write(reply(200, "OK", "{\"id\": \"gw-" + std::to_string(number) + "\", \"duplicate\": " +
                                      (duplicate ? "true" : "false") + "}"));
      return;
    case Answer::TooMany:
      peer.write(reply(429, "Too Many Requests", "{\"error\": \"slow down\"}"));
      return;
    case Answer::ServerError:
      peer.write(reply(500, "Internal Server Error", "{\"error\": \"broken\"}"));
      return;
    case Answer::BadRequest:
      peer.write(reply(400, "Bad Request", "{\"error\": \"invalid number\"}"));
      return;
    case Answer::Unauthorized:
      peer.write(reply(401, "Unauthorized", "{\"error\": \"bad key\"}"));
      return;
    case Answer::Hang:
    case Answer::AcceptThenHang: {
      std::unique_lock lock(mutex_);
      changed_.wait(lock, [&] { return stopping_.load() || released_; });
      return;
    }
    case Answer::AcceptThenReset:
      peer.reset();
      return;
  }
}

}  // namespace halvenor::testing
