// The server's TLS configuration: certificate chain and private key loaded
// into an OpenSSL server context, replaceable while the service runs.
//
// Contract: TLS 1.2 is the lowest version offered; renegotiation is off;
// session resumption is on (server session cache and session tickets, one
// per handshake, sealed with keys that live only in memory and are rotated
// hourly; see ticket_keys.h) so that returning clients skip the full
// handshake. A client closing without a TLS
// close_notify is treated as an ordinary end of stream.
//
// reload() builds a complete new context first and only then swaps it in:
// connections started afterwards present the new certificate, while
// connections already running keep the context they started with (each
// OpenSSL connection holds a reference to its context). Sessions issued under
// the old context are not resumed under the new one.
//
// Thread-safe: ssl_ctx() and reload() may be called from any thread at any
// time. from_files() and reload() throw std::runtime_error naming the file
// and the OpenSSL reason when a file is unreadable, malformed, protected by
// a pass phrase, or when key and certificate do not belong together; a
// failed reload() leaves the current context in place.
#pragma once

#include <openssl/ssl.h>

#include <memory>
#include <mutex>
#include <string>

namespace halvenor::http {

class TlsContext {
 public:
  static std::shared_ptr<TlsContext> from_files(const std::string& cert_pem_path,
                                                const std::string& key_pem_path);

  void reload(const std::string& cert_pem_path, const std::string& key_pem_path);

  // The context new connections are made from.
  std::shared_ptr<SSL_CTX> ssl_ctx() const;

 private:
  explicit TlsContext(std::shared_ptr<SSL_CTX> ctx) : ctx_(std::move(ctx)) {}
  static std::shared_ptr<SSL_CTX> build(const std::string& cert_pem_path,
                                        const std::string& key_pem_path);

  mutable std::mutex mutex_;
  std::shared_ptr<SSL_CTX> ctx_;
};

}  // namespace halvenor::http
