#include "net/http_client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <mutex>
#include <optional>
#include <utility>

#include "base/errors.h"
#include "base/release.h"
#include "base/text.h"
#include "net/tls_policy.h"
#include "platform/file_descriptor.h"

namespace halvenor {
namespace {

using SteadyClock = std::chrono::steady_clock;

// The longest header block accepted before the body.
constexpr std::size_t kMaxReplyHeaderBytes = 16 * 1024;
// Length fields are read only this far: beyond it a reply is cut at the
// client's limit anyway, and the arithmetic cannot overflow.
constexpr std::size_t kLargestLengthField = std::size_t{1} << 40;

constexpr std::size_t kReadChunkBytes = 4096;
// The longest reason phrase kept for the job's reason.
constexpr std::size_t kMaxReasonPhrase = 80;

class Deadline {
 public:
  Deadline(double seconds, const std::string& peer)
      : peer_(peer),
        at_(SteadyClock::now() + std::chrono::duration_cast<SteadyClock::duration>(
                                     std::chrono::duration<double>(seconds))),
        seconds_(seconds) {}
  int remaining_ms() const {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(at_ - SteadyClock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
  }
  const std::string& peer() const { return peer_; }
  [[noreturn]] void expired(const char* step) const {
    throw ConnectorError(std::string("The ") + peer_ + std::string(" did not ") + step + " within " + format_seconds() + " seconds.");
  }

 private:
  std::string format_seconds() const {
    std::string text = std::to_string(seconds_);
    text.erase(text.find_last_not_of('0') + 1);
    if (!text.empty() && text.back() == '.') text.pop_back();
    return text;
  }
  const std::string& peer_;
  SteadyClock::time_point at_;
  double seconds_;
};

// Waits until fd is readable (or writable); throws once the deadline passes.
void wait_for(int fd, bool write, const Deadline& deadline, const char* step) {
  while (true) {
    pollfd p{fd, static_cast<short>(write ? POLLOUT : POLLIN), 0};
    int left = deadline.remaining_ms();
    if (left == 0) deadline.expired(step);
    int r = ::poll(&p, 1, left);
    if (r > 0) return;
    if (r == 0) deadline.expired(step);
    if (errno != EINTR) throw ConnectorError(std::string("Waiting for the ") + deadline.peer() + std::string(" failed: ") + std::strerror(errno));
  }
}

// `address` empty: the URL's host, resolved.
int connect_socket(const HttpUrl& url, const std::string& address, const Deadline& deadline) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = url.host_is_address ? AI_NUMERICHOST : 0;
  addrinfo* found = nullptr;
  if (!address.empty()) hints.ai_flags = AI_NUMERICHOST;
  const std::string& name = address.empty() ? url.host : address;
  int rc = ::getaddrinfo(name.c_str(), url.port.c_str(), &hints, &found);
  if (rc != 0) throw ConnectorError(std::string("The ") + deadline.peer() + " host " + url.host + " could not be resolved: " + gai_strerror(rc));
  std::unique_ptr<addrinfo, void (*)(addrinfo*)> list(found, freeaddrinfo);
  std::string last_error = "no address";
  for (addrinfo* ai = found; ai != nullptr; ai = ai->ai_next) {
    int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
    if (fd < 0) {
      last_error = std::strerror(errno);
      continue;
    }
    platform::FileDescriptor guard(fd);
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
      if (errno != EINPROGRESS) {
        last_error = std::strerror(errno);
        continue;
      }
      wait_for(fd, true, deadline, "accept the connection");
      int error = 0;
      socklen_t length = sizeof error;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
        last_error = std::strerror(error != 0 ? error : errno);
        continue;
      }
    }
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return guard.release();
  }
  throw ConnectorError(std::string("Could not connect to the ") + deadline.peer() + " at " + url.authority() + ": " + last_error);
}

// A connected byte stream, plain or TLS, whose every call honours the deadline.
class Stream {
 public:
  Stream(int fd, SSL_CTX* tls, SSL_SESSION* resume, const HttpUrl& url, const Deadline& deadline)
      : fd_(fd), deadline_(deadline) {
    if (tls == nullptr) return;
    ssl_.reset(SSL_new(tls));
    if (!ssl_) throw ConnectorError(std::string("TLS could not be started for the ") + deadline_.peer() + ".");
    SSL_set_fd(ssl_.get(), fd_.get());
    // A session the peer no longer knows simply gives a full handshake.
    if (resume != nullptr) SSL_set_session(ssl_.get(), resume);
    if (url.host_is_address) {
      X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_.get()), url.host.c_str());
    } else {
      SSL_set_tlsext_host_name(ssl_.get(), url.host.c_str());
      SSL_set1_host(ssl_.get(), url.host.c_str());
    }
    while (true) {
      ERR_clear_error();
      int r = SSL_connect(ssl_.get());
      if (r == 1) break;
      int error = SSL_get_error(ssl_.get(), r);
      if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
        wait_for(fd_.get(), error == SSL_ERROR_WANT_WRITE, deadline_, "complete the TLS handshake");
        continue;
      }
      long verify = SSL_get_verify_result(ssl_.get());
      if (verify != X509_V_OK)
        throw ConnectorError(std::string("The ") + deadline_.peer() + std::string("'s certificate was not accepted: ") +
                             X509_verify_cert_error_string(verify));
      throw ConnectorError(std::string("The TLS handshake with the ") + deadline_.peer() + " failed: " + openssl_reason());
    }
  }
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  bool resumed() const { return ssl_ && SSL_session_reused(ssl_.get()) == 1; }
  int tls_version() const { return ssl_ ? SSL_version(ssl_.get()) : 0; }
  // The session to offer next time (TLS 1.3 tickets arrive with the reply, so
  // ask after reading it); null when there is none worth keeping.
  SSL_SESSION* take_session() const {
    if (!ssl_) return nullptr;
    // Freeing a connection that never sent close_notify marks its session
    // unresumable, even one already handed out; a best-effort close_notify
    // (not waited for) prevents that.
    SSL_shutdown(ssl_.get());
    ERR_clear_error();
    SSL_SESSION* session = SSL_get1_session(ssl_.get());
    if (session != nullptr && SSL_SESSION_is_resumable(session) != 1) {
      SSL_SESSION_free(session);
      return nullptr;
    }
    return session;
  }

  void write_all(std::string_view bytes) {
    while (!bytes.empty()) {
      std::size_t done = 0;
      if (ssl_) {
        ERR_clear_error();
        int r = SSL_write_ex(ssl_.get(), bytes.data(), bytes.size(), &done) == 1 ? 1 : 0;
        if (r == 0) {
          int error = SSL_get_error(ssl_.get(), 0);
          if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
            wait_for(fd_.get(), error == SSL_ERROR_WANT_WRITE, deadline_, "take the request");
            continue;
          }
          throw ConnectorError(std::string("Sending to the ") + deadline_.peer() + " failed: " + openssl_reason());
        }
      } else {
        ssize_t n = ::send(fd_.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n < 0) {
          if (errno == EINTR) continue;
          if (errno == EAGAIN || errno == EWOULDBLOCK) {
            wait_for(fd_.get(), true, deadline_, "take the request");
            continue;
          }
          throw ConnectorError(std::string("Sending to the ") + deadline_.peer() + std::string(" failed: ") + std::strerror(errno));
        }
        done = static_cast<std::size_t>(n);
      }
      bytes.remove_prefix(done);
    }
  }

  // Bytes read into `out` (appended); 0 at the end of the stream.
  std::size_t read_some(std::string& out, std::size_t most) {
    char buffer[kReadChunkBytes];
    most = std::min(most, sizeof buffer);
    while (true) {
      if (ssl_) {
        std::size_t done = 0;
        ERR_clear_error();
        if (SSL_read_ex(ssl_.get(), buffer, most, &done) == 1) {
          out.append(buffer, done);
          return done;
        }
        int error = SSL_get_error(ssl_.get(), 0);
        if (error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
          wait_for(fd_.get(), error == SSL_ERROR_WANT_WRITE, deadline_, "answer");
          continue;
        }
        if (error == SSL_ERROR_ZERO_RETURN) return 0;
        throw ConnectorError(std::string("Reading the ") + deadline_.peer() + "'s answer failed: " + openssl_reason());
      }
      ssize_t n = ::recv(fd_.get(), buffer, most, 0);
      if (n > 0) {
        out.append(buffer, static_cast<std::size_t>(n));
        return static_cast<std::size_t>(n);
      }
      if (n == 0) return 0;
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        wait_for(fd_.get(), false, deadline_, "answer");
        continue;
      }
      throw ConnectorError(std::string("Reading the ") + deadline_.peer() + std::string("'s answer failed: ") + std::strerror(errno));
    }
  }

 private:
  static std::string openssl_reason() {
    unsigned long code = ERR_peek_last_error();
    if (code == 0) return errno != 0 ? std::strerror(errno) : "the connection was closed";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
  }

  platform::FileDescriptor fd_;
  const Deadline& deadline_;
  std::unique_ptr<SSL, void (*)(SSL*)> ssl_{nullptr, SSL_free};
};

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}


struct ReplyHead {
  int status = 0;
  std::string reason;
  std::optional<std::size_t> content_length;
  bool chunked = false;
};

// Parses the status line and the headers that frame the body. Throws
// ConnectorError when they are not an HTTP/1.x reply.
ReplyHead parse_head(std::string_view head, const std::string& peer) {
  ReplyHead out;
  std::size_t line_end = head.find("\r\n");
  std::string_view status_line = head.substr(0, line_end);
  if (status_line.size() < 12 || status_line.substr(0, 7) != "HTTP/1." || status_line[8] != ' ' ||
      !std::isdigit(static_cast<unsigned char>(status_line[9])) ||
      !std::isdigit(static_cast<unsigned char>(status_line[10])) ||
      !std::isdigit(static_cast<unsigned char>(status_line[11])) ||
      (status_line.size() > 12 && status_line[12] != ' '))
    throw ConnectorError(std::string("The ") + peer + "'s answer is not HTTP.");
  out.status = (status_line[9] - '0') * 100 + (status_line[10] - '0') * 10 + (status_line[11] - '0');
  // Printable ASCII only, so a peer cannot put control characters or odd
  // bytes into a stored reason.
  if (status_line.size() > 13) out.reason = printable_ascii(status_line.substr(13), kMaxReasonPhrase);
  std::size_t at = line_end == std::string_view::npos ? head.size() : line_end + 2;
  while (at < head.size()) {
    std::size_t end = head.find("\r\n", at);
    if (end == std::string_view::npos) end = head.size();
    std::string_view line = head.substr(at, end - at);
    at = end + 2;
    std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string name = lower(std::string(line.substr(0, colon)));
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    if (name == "content-length") {
      std::size_t length = 0;
      bool digits = !value.empty();
      for (char c : value) {
        if (!std::isdigit(static_cast<unsigned char>(c)) || length > kLargestLengthField) {
          digits = digits && std::isdigit(static_cast<unsigned char>(c));
          break;
        }
        length = length * 10 + static_cast<std::size_t>(c - '0');
      }
      if (digits) out.content_length = length;
    } else if (name == "transfer-encoding" && lower(std::string(value)).find("chunked") != std::string::npos) {
      out.chunked = true;
    }
  }
  return out;
}

std::size_t hex_value(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::size_t>(c - '0');
  return static_cast<std::size_t>(std::tolower(static_cast<unsigned char>(c)) - 'a' + 10);
}

// Decodes a chunked body as far as it was read; complete=true once the last
// chunk has been seen.
std::string dechunk(std::string_view raw, bool& complete) {
  std::string out;
  complete = false;
  while (true) {
    std::size_t line_end = raw.find("\r\n");
    if (line_end == std::string_view::npos) return out;
    std::size_t size = 0;
    std::size_t i = 0;
    for (; i < line_end && std::isxdigit(static_cast<unsigned char>(raw[i])) && size <= kLargestLengthField; ++i)
      size = size * 16 + hex_value(raw[i]);
    if (i == 0) return out;
    if (size == 0) {
      complete = true;
      return out;
    }
    raw.remove_prefix(line_end + 2);
    if (raw.size() < size) {
      out.append(raw);
      return out;
    }
    out.append(raw.substr(0, size));
    raw.remove_prefix(std::min(raw.size(), size + 2));
  }
}

std::shared_ptr<SSL_CTX> client_context(const std::string& ca_file) {
  std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  if (!ctx) throw ConnectorError("TLS could not be prepared.");
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  // The reply is framed by HTTP, so a peer that closes without close_notify
  // is an ordinary end of stream rather than an error.
  SSL_CTX_set_options(ctx.get(), SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
  if (!ca_file.empty()) {
    if (SSL_CTX_load_verify_locations(ctx.get(), ca_file.c_str(), nullptr) != 1)
      throw ConnectorError("The CA file " + ca_file + " could not be loaded.");
  } else if (SSL_CTX_set_default_verify_paths(ctx.get()) != 1) {
    throw ConnectorError("The system's trusted certificates could not be loaded.");
  }
  return ctx;
}

void ignore_sigpipe_once() {
  static std::once_flag once;
  std::call_once(once, [] { std::signal(SIGPIPE, SIG_IGN); });
}

bool header_safe(std::string_view text) {
  for (char c : text)
    if (c == '\r' || c == '\n' || c == '\0') return false;
  return true;
}

bool loopback_host(const std::string& host) {
  return host == "127.0.0.1" || host == "::1" || host == "localhost";
}

bool valid_port(const std::string& port) {
  if (port.empty() || port.size() > 5) return false;
  for (char c : port)
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
  int value = std::stoi(port);
  return value >= 1 && value <= 65535;
}

}  // namespace

struct HttpClient::KeptSession {
  std::mutex mutex;
  std::unique_ptr<SSL_SESSION, void (*)(SSL_SESSION*)> session{nullptr, SSL_SESSION_free};

  // A new reference for one connection to offer, or null.
  SSL_SESSION* offer() {
    std::lock_guard lock(mutex);
    if (!session) return nullptr;
    SSL_SESSION_up_ref(session.get());
    return session.get();
  }
  void keep(SSL_SESSION* newest) {
    if (newest == nullptr) return;
    std::lock_guard lock(mutex);
    session.reset(newest);
  }
};

HttpUrl parse_url(const std::string& url) {
  if (url.size() > kMaxUrlLength)
    throw UrlError("is longer than " + std::to_string(kMaxUrlLength) + " characters");
  for (char c : url)
    if (static_cast<unsigned char>(c) <= 0x20 || static_cast<unsigned char>(c) >= 0x7f)
      throw UrlError("may not contain spaces or control characters");
  HttpUrl out;
  std::string rest;
  if (url.rfind("https://", 0) == 0) {
    rest = url.substr(8);
  } else if (url.rfind("http://", 0) == 0) {
    out.tls = false;
    rest = url.substr(7);
  } else {
    throw UrlError("must start with https://");
  }
  if (rest.find('#') != std::string::npos) throw UrlError("may not contain a fragment (#)");
  std::size_t slash = rest.find_first_of("/?");
  std::string authority = rest.substr(0, slash);
  out.target = slash == std::string::npos ? "/" : rest.substr(slash);
  if (out.target.front() == '?') out.target = "/" + out.target;
  if (authority.find('@') != std::string::npos)
    throw UrlError("may not hold a user name or password; use the credential file");
  std::string port;
  if (!authority.empty() && authority.front() == '[') {
    std::size_t close = authority.find(']');
    if (close == std::string::npos) throw UrlError("has an unclosed [ in its host");
    out.host = authority.substr(1, close - 1);
    out.host_is_address = true;
    std::string after = authority.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':') throw UrlError("has a malformed host");
      port = after.substr(1);
    }
  } else {
    std::size_t colon = authority.find(':');
    out.host = authority.substr(0, colon);
    if (colon != std::string::npos) port = authority.substr(colon + 1);
    bool dotted = !out.host.empty();
    for (char c : out.host) dotted = dotted && (std::isdigit(static_cast<unsigned char>(c)) || c == '.');
    out.host_is_address = dotted;
  }
  if (out.host.empty()) throw UrlError("needs a host name");
  for (char& c : out.host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (port.empty()) port = out.tls ? "443" : "80";
  if (!valid_port(port)) throw UrlError("has an invalid port");
  out.port = port;
  if (!out.tls && !loopback_host(out.host))
    throw UrlError("must start with https:// (plain http is only for a peer on this machine)");
  return out;
}

std::string HttpUrl::authority() const {
  bool default_port = (tls && port == "443") || (!tls && port == "80");
  std::string name = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return default_port ? name : name + ":" + port;
}

HttpClient::HttpClient(HttpUrl url, const std::string& ca_file, double timeout_seconds,
                       std::size_t max_reply_bytes, std::string peer)
    : url_(std::move(url)),
      timeout_seconds_(timeout_seconds),
      max_reply_bytes_(max_reply_bytes),
      peer_(std::move(peer)) {
  ignore_sigpipe_once();
  if (url_.tls) {
    tls_ = client_context(ca_file);
    session_ = std::make_shared<KeptSession>();
  }
}

void HttpClient::prefer_cheap_resumption() {
  if (!tls_) return;
  if (SSL_CTX_set_max_proto_version(tls_.get(), TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(tls_.get(), kForwardSecretTls12Ciphers) != 1) {
    throw ConnectorError("TLS could not be prepared.");
  }
}

HttpReply HttpClient::exchange(const std::string& method, const HeaderList& headers,
                                  const std::string& body) const {
  return exchange_at(url_.target, method, headers, body);
}

HttpReply HttpClient::exchange_at(const std::string& target, const std::string& method,
                                     const HeaderList& headers, const std::string& body) const {
  return send(target, method, headers, body, "application/json");
}

HttpReply HttpClient::send(const std::string& target, const std::string& method, const HeaderList& headers,
                           const std::string& body, const std::string& content_type) const {
  if (!header_safe(target)) throw ConnectorError("A request path may not contain a line break.");
  std::string host = url_.authority();
  for (const auto& [name, value] : headers) {
    if (!header_safe(name) || !header_safe(value))
      throw ConnectorError("A request header may not contain a line break.");
    if (lower(name) == "host") host = value;
  }
  if (!header_safe(content_type)) throw ConnectorError("A request header may not contain a line break.");
  std::string request = method + " " + target + " HTTP/1.1\r\nHost: " + host + "\r\nUser-Agent: Halvenor/" + VERSION + "\r\n";
  if (!content_type.empty()) request += "Content-Type: " + content_type + "\r\n";
  request += "Accept: application/json\r\n";
  if (!body.empty() || !content_type.empty()) request += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  request += "Connection: close\r\n";
  for (const auto& [name, value] : headers)
    if (lower(name) != "host") request += name + ": " + value + "\r\n";
  request += "\r\n";
  request += body;

  Deadline deadline(timeout_seconds_, peer_);
  int fd = connect_socket(url_, connect_address_, deadline);
  std::unique_ptr<SSL_SESSION, void (*)(SSL_SESSION*)> offered(session_ ? session_->offer() : nullptr,
                                                               SSL_SESSION_free);
  Stream stream(fd, tls_.get(), offered.get(), url_, deadline);
  stream.write_all(request);

  std::string raw;
  std::size_t head_end = std::string::npos;
  std::optional<ReplyHead> head;
  bool ended = false;  // by the peer or by the body's own framing, not by the limit
  while (raw.size() < max_reply_bytes_) {
    if (stream.read_some(raw, max_reply_bytes_ - raw.size()) == 0) {
      ended = true;
      break;
    }
    if (!head) {
      head_end = raw.find("\r\n\r\n");
      if (head_end == std::string::npos) {
        if (raw.size() > kMaxReplyHeaderBytes) throw ConnectorError(std::string("The ") + peer_ + "'s answer header is too long.");
        continue;
      }
      head = parse_head(std::string_view(raw).substr(0, head_end), peer_);
    }
    std::size_t body_bytes = raw.size() - head_end - 4;
    if (head->content_length && body_bytes >= *head->content_length) {
      ended = true;
      break;
    }
    if (head->chunked) {
      bool complete = false;
      dechunk(std::string_view(raw).substr(head_end + 4), complete);
      if (complete) {
        ended = true;
        break;
      }
    }
  }
  if (!head) {
    head_end = raw.find("\r\n\r\n");
    if (head_end == std::string::npos) {
      if (raw.empty()) throw ConnectorError(std::string("The ") + peer_ + " closed the connection without answering.");
      throw ConnectorError(std::string("The ") + peer_ + "'s answer was cut short.");
    }
    head = parse_head(std::string_view(raw).substr(0, head_end), peer_);
  }
  HttpReply reply;
  reply.status = head->status;
  reply.reason = head->reason;
  reply.resumed = stream.resumed();
  reply.tls_version = stream.tls_version();
  reply.cut = !ended;
  if (session_) session_->keep(stream.take_session());
  std::string_view rest = std::string_view(raw).substr(head_end + 4);
  if (head->chunked) {
    bool complete = false;
    reply.body = dechunk(rest, complete);
  } else {
    reply.body = std::string(rest.substr(0, head->content_length.value_or(rest.size())));
  }
  return reply;
}

}  // namespace halvenor
