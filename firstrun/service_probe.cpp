#include "firstrun/service_probe.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <cstring>
#include <memory>

#include "companions/setup/certificates.h"

namespace fs = std::filesystem;

namespace halvenor::firstrun {
namespace {

constexpr int kTimeoutSeconds = 3;
constexpr std::size_t kMaxReplyBytes = 16 * 1024;

struct SslCtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
struct SslFree {
  void operator()(SSL* s) const { SSL_free(s); }
};

class Socket {
 public:
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() {
    if (fd_ >= 0) ::close(fd_);
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  int fd() const { return fd_; }

 private:
  int fd_;
};

std::string tls_error() {
  const unsigned long code = ERR_get_error();
  if (code == 0) return "the TLS handshake failed";
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// A wildcard listen address is reached through loopback of the same family.
std::string address_for(const std::string& bind) {
  if (bind == "0.0.0.0") return "127.0.0.1";
  if (bind == "::") return "::1";
  return bind;
}

int connect_to(const std::string& address, int port, std::string& why) {
  sockaddr_storage storage{};
  socklen_t length = 0;
  int family = AF_INET;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    length = sizeof *v4;
  } else if (inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
    family = AF_INET6;
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    length = sizeof *v6;
  } else {
    why = "the listen address " + address + " is not an IP address";
    return -1;
  }
  const int fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    why = std::strerror(errno);
    return -1;
  }
  timeval timeout{kTimeoutSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0) {
    why = "cannot connect to " + address + ":" + std::to_string(port) + ": " + std::strerror(errno);
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

ServiceProbe::ServiceProbe(const Json& settings, fs::path ca_file)
    : address_(address_for(settings.at("bind").get<std::string>())),
      port_(settings.at("port").get<int>()),
      hostname_(settings.at("hostname").get<std::string>()),
      public_host_(settings.at("public_host").get<std::string>()),
      ca_file_(std::move(ca_file)) {}

bool ServiceProbe::answers(std::string& why) const {
  ERR_clear_error();
  std::unique_ptr<SSL_CTX, SslCtxFree> context(SSL_CTX_new(TLS_client_method()));
  if (!context) {
    why = tls_error();
    return false;
  }
  SSL_CTX_set_min_proto_version(context.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(context.get(), SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(context.get(), ca_file_.c_str(), nullptr) != 1) {
    why = "cannot load " + ca_file_.string();
    return false;
  }
  Socket socket(connect_to(address_, port_, why));
  if (socket.fd() < 0) return false;

  std::unique_ptr<SSL, SslFree> ssl(SSL_new(context.get()));
  SSL_set_fd(ssl.get(), socket.fd());
  const setup::HostIdentity host = setup::identity(hostname_);
  if (host.kind == setup::HostIdentity::Ip) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl.get()), host.text.c_str());
  } else {
    SSL_set_tlsext_host_name(ssl.get(), host.text.c_str());
    SSL_set1_host(ssl.get(), host.text.c_str());
  }
  if (SSL_connect(ssl.get()) != 1) {
    const long verdict = SSL_get_verify_result(ssl.get());
    why = verdict != X509_V_OK ? std::string("certificate not accepted: ") + X509_verify_cert_error_string(verdict)
                               : tls_error();
    return false;
  }
  const std::string request = "GET /api/version HTTP/1.0\r\nHost: " + public_host_ + "\r\nConnection: close\r\n\r\n";
  if (SSL_write(ssl.get(), request.data(), static_cast<int>(request.size())) != static_cast<int>(request.size())) {
    why = "the server closed the connection";
    return false;
  }
  std::string reply;
  char buffer[4096];
  while (reply.size() < kMaxReplyBytes && reply.find("\r\n") == std::string::npos) {
    const int n = SSL_read(ssl.get(), buffer, sizeof buffer);
    if (n <= 0) break;
    reply.append(buffer, static_cast<std::size_t>(n));
  }
  const std::string status_line = reply.substr(0, reply.find("\r\n"));
  if (status_line.rfind("HTTP/1.", 0) == 0 && status_line.size() >= 12 && status_line.compare(9, 3, "200") == 0)
    return true;
  why = status_line.empty() ? "no answer" : "the server answered \"" + status_line + "\"";
  return false;
}

}  // namespace halvenor::firstrun
