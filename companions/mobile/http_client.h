// One HTTP/1.1 exchange with a mobile gateway, over a fresh TCP connection,
// wrapped in TLS for https.
//
// Every step (connecting, the TLS handshake, writing, reading) is bounded by
// one deadline of `timeout_seconds` from the start of the exchange, and the
// reply is read up to kMaxGatewayReplyBytes: a gateway that stalls or talks
// too much cannot hold the delivery worker. TLS is 1.2 or later and always
// verifies the gateway's certificate and name, against the CA file when one
// is pinned, else against the system's trust store.
//
// Constructing the first client ignores SIGPIPE process-wide: OpenSSL writes
// to sockets without MSG_NOSIGNAL, and a gateway closing early must not end
// the service.
//
// A client keeps the newest TLS session its peer offered and resumes it on the
// next connection, so a computer polling every few seconds costs the server a
// full key exchange only when the session is no longer accepted.
//
// Thread-safety: exchange() may be called from several threads at once on
// one client (the TLS context and the kept session are shared under a lock,
// each exchange has its own connection). Errors: ConnectorError, with a message for IT, when the
// gateway cannot be reached, the handshake or certificate check fails, the
// deadline passes, or the reply is not HTTP.
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <openssl/ssl.h>

namespace halvenor {

inline constexpr std::size_t kMaxGatewayReplyBytes = 64 * 1024;

// A gateway address split for connecting.
struct GatewayUrl {
  bool tls = true;
  std::string host;    // DNS name or address text, without IPv6 brackets
  std::string port;    // decimal
  std::string target;  // path and query, starting with "/"
  bool host_is_address = false;
  // "host[:port]" as the Host header carries it.
  std::string authority() const;
};

struct GatewayReply {
  int status = 0;
  std::string reason;    // the status line's reason phrase
  std::string body;      // at most the client's reply limit minus the header
  bool resumed = false;  // TLS continued an earlier session (no key exchange)
};

using HeaderList = std::vector<std::pair<std::string, std::string>>;

class HttpClient {
 public:
  // `ca_file` empty: the system trust store. Throws ConnectorError when the
  // CA file cannot be loaded. A reply (header and body) is read up to
  // `max_reply_bytes`.
  HttpClient(GatewayUrl url, const std::string& ca_file, double timeout_seconds,
             std::size_t max_reply_bytes = kMaxGatewayReplyBytes);

  // Sends `method` with a JSON body and the given extra headers (Host,
  // Content-Type, Content-Length and Connection are added here) and returns
  // the gateway's reply, whatever its status.
  GatewayReply exchange(const std::string& method, const HeaderList& headers, const std::string& body) const;
  // The same for another path and query (starting with "/") on the same peer.
  GatewayReply exchange_at(const std::string& target, const std::string& method, const HeaderList& headers,
                           const std::string& body) const;

  const GatewayUrl& url() const { return url_; }

 private:
  GatewayUrl url_;
  double timeout_seconds_;
  std::size_t max_reply_bytes_;
  std::shared_ptr<SSL_CTX> tls_;  // null for plain http
  struct KeptSession;
  std::shared_ptr<KeptSession> session_;  // null for plain http
};

}  // namespace halvenor
