#include "net/tls_context.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>

#include <stdexcept>

#include "net/ticket_keys.h"
#include "net/tls_policy.h"

namespace halvenor::http {
namespace {

// Distinguishes this service's cached sessions from any other application
// sharing a session store; the value itself is arbitrary.
constexpr unsigned char kSessionIdContext[] = "halvenor-https";

// Oldest OpenSSL error in the thread's queue, as text; clears the queue.
std::string openssl_reason() {
  const unsigned long code = ERR_peek_error();
  std::string reason = "unknown OpenSSL error";
  if (code != 0) {
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    reason = text;
  }
  ERR_clear_error();
  return reason;
}

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + openssl_reason());
}

// Refuses keys that need a pass phrase instead of prompting on the console.
int no_pass_phrase(char*, int, int, void*) { return 0; }

}  // namespace

std::shared_ptr<SSL_CTX> TlsContext::build(const std::string& cert_pem_path,
                                           const std::string& key_pem_path) {
  ERR_clear_error();
  std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (!ctx) fail("Cannot create TLS context");
  SSL_CTX* raw = ctx.get();
  if (SSL_CTX_set_min_proto_version(raw, TLS1_2_VERSION) != 1) fail("Cannot require TLS 1.2");
  SSL_CTX_set_options(raw, SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE |
                               SSL_OP_IGNORE_UNEXPECTED_EOF);
  if (SSL_CTX_set_cipher_list(raw, kForwardSecretTls12Ciphers) != 1) fail("Cannot set the TLS 1.2 ciphers");
  if (SSL_CTX_use_certificate_chain_file(raw, cert_pem_path.c_str()) != 1) {
    fail("Cannot load TLS certificate chain from " + cert_pem_path);
  }
  // The key is read here rather than by SSL_CTX_use_PrivateKey_file so that a
  // key for another certificate is reported as such, not as unreadable.
  std::unique_ptr<BIO, decltype(&BIO_free)> key_file(BIO_new_file(key_pem_path.c_str(), "r"),
                                                     BIO_free);
  std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(
      key_file ? PEM_read_bio_PrivateKey(key_file.get(), nullptr, no_pass_phrase, nullptr) : nullptr,
      EVP_PKEY_free);
  if (!key) fail("Cannot load TLS private key from " + key_pem_path);
  if (X509_check_private_key(SSL_CTX_get0_certificate(raw), key.get()) != 1) {
    fail("TLS private key " + key_pem_path + " does not match certificate " + cert_pem_path);
  }
  if (SSL_CTX_use_PrivateKey(raw, key.get()) != 1) fail("Cannot use TLS private key " + key_pem_path);
  SSL_CTX_set_session_cache_mode(raw, SSL_SESS_CACHE_SERVER);
  TicketKeyRing::install(raw);
  // Clients keep one session to resume; a second ticket would be wasted work
  // on every full handshake.
  if (SSL_CTX_set_num_tickets(raw, 1) != 1) fail("Cannot set the number of TLS session tickets");
  if (SSL_CTX_set_session_id_context(raw, kSessionIdContext, sizeof kSessionIdContext - 1) != 1) {
    fail("Cannot set TLS session context");
  }
  return ctx;
}

std::shared_ptr<TlsContext> TlsContext::from_files(const std::string& cert_pem_path,
                                                   const std::string& key_pem_path) {
  return std::shared_ptr<TlsContext>(new TlsContext(build(cert_pem_path, key_pem_path)));
}

void TlsContext::reload(const std::string& cert_pem_path, const std::string& key_pem_path) {
  std::shared_ptr<SSL_CTX> fresh = build(cert_pem_path, key_pem_path);
  std::lock_guard lock(mutex_);
  ctx_.swap(fresh);
  // The old context is released after the lock, once `fresh` goes out of
  // scope; running connections still hold their own references to it.
}

std::shared_ptr<SSL_CTX> TlsContext::ssl_ctx() const {
  std::lock_guard lock(mutex_);
  return ctx_;
}

}  // namespace halvenor::http
