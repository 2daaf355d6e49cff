// One HTTP/1.1 exchange with a peer (a mobile gateway, an organisation's
// sign-in provider, the alert server), over a fresh TCP connection, wrapped in
// TLS for https.
//
// Every step (connecting, the TLS handshake, writing, reading) is bounded by
// one deadline of `timeout_seconds` from the start of the exchange, and the
// reply is read up to a limit: a peer that stalls or talks too much cannot
// hold the caller. TLS is 1.2 or later and always verifies the peer's
// certificate and name, against the CA file when one is pinned, else against
// the system's trust store.
//
// Constructing the first client ignores SIGPIPE process-wide: OpenSSL writes
// to sockets without MSG_NOSIGNAL, and a peer closing early must not end the
// process.
//
// A client keeps the newest TLS session its peer offered and resumes it on the
// next connection, so a computer polling every few seconds costs the server a
// full key exchange only when the session is no longer accepted.
//
// Thread-safety: exchange() may be called from several threads at once on
// one client (the TLS context and the kept session are shared under a lock,
// each exchange has its own connection). Errors: ConnectorError, with a
// message for IT naming the peer, when the peer cannot be reached, the
// handshake or certificate check fails, the deadline passes, or the reply is
// not HTTP.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <openssl/ssl.h>

namespace halvenor {

// Enough for any gateway or sign-in provider's answer.
inline constexpr std::size_t kMaxReplyBytes = 64 * 1024;

// A peer's address split for connecting.
struct HttpUrl {
  bool tls = true;
  std::string host;    // DNS name or address text, without IPv6 brackets
  std::string port;    // decimal
  std::string target;  // path and query, starting with "/"
  bool host_is_address = false;
  // "host[:port]" as the Host header carries it.
  std::string authority() const;
};

struct HttpReply {
  int status = 0;
  std::string reason;    // the status line's reason phrase
  std::string body;      // at most the client's reply limit minus the header
  bool resumed = false;  // TLS continued an earlier session
  int tls_version = 0;   // TLS1_2_VERSION, TLS1_3_VERSION; 0 over plain http
  bool cut = false;      // the reply limit ended the reading before the body's end
};

// A URL this client cannot use; the message says why, without naming the
// setting it came from.
class UrlError : public std::invalid_argument {
  using std::invalid_argument::invalid_argument;
};

inline constexpr std::size_t kMaxUrlLength = 2048;

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// "https://host[:port][/path]" (or "http://" for a peer on this machine)
// split for connecting; host names are lower-cased. Throws UrlError.
HttpUrl parse_url(const std::string& url);

class HttpClient {
 public:
  // `ca_file` empty: the system trust store. Throws ConnectorError when the
  // CA file cannot be loaded. A reply (header and body) is read up to
  // `max_reply_bytes`. `peer` names the other side in error messages
  // ("gateway", "server").
  HttpClient(HttpUrl url, const std::string& ca_file, double timeout_seconds,
             std::size_t max_reply_bytes, std::string peer);

  // Sends `method` with a JSON body and the given extra headers (Host,
  // Content-Type, Content-Length and Connection are added here) and returns
  // the peer's reply, whatever its status.
  HttpReply exchange(const std::string& method, const HeaderList& headers, const std::string& body) const;
  // The same for another path and query (starting with "/") on the same peer.
  HttpReply exchange_at(const std::string& target, const std::string& method, const HeaderList& headers,
                           const std::string& body) const;
  // The general form: the body is sent as `content_type`; an empty body with
  // an empty content type sends no Content-Type or Content-Length (a plain
  // GET). A "Host" among `headers` replaces the one made from the URL.
  HttpReply send(const std::string& target, const std::string& method, const HeaderList& headers,
                 const std::string& body, const std::string& content_type) const;

  const HttpUrl& url() const { return url_; }

  // Connects to this numeric address instead of resolving the URL's host,
  // still checking the certificate against the host: a service reached on
  // its own address before DNS knows its name. Before the first exchange.
  void connect_via(std::string address) { connect_address_ = std::move(address); }

  // For a peer this client calls every few seconds (the agent's server):
  // negotiates TLS 1.2 so that a resumed exchange opens a session ticket and
  // nothing more. OpenSSL 3.0 resumes TLS 1.3 only with a fresh key exchange
  // on both sides, which at a fleet's poll rate is most of the server's
  // handshake work. Full handshakes stay ECDHE with an AEAD cipher, so they
  // keep forward secrecy. Before the first exchange; no effect on plain http.
  void prefer_cheap_resumption();

 private:
  HttpUrl url_;
  double timeout_seconds_;
  std::size_t max_reply_bytes_;
  std::string peer_;
  std::string connect_address_;  // empty: resolve the URL's host
  std::shared_ptr<SSL_CTX> tls_;  // null for plain http
  struct KeptSession;
  std::shared_ptr<KeptSession> session_;  // null for plain http
};

}  // namespace halvenor
