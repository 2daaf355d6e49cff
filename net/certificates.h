// Certificates of the deployment: the server's identity, the local
// certificate authority, HTTPS server certificates, signing requests for an
// IT-run authority, and checks on certificates brought in from outside.
//
// Pure functions over OpenSSL objects; nothing here touches files, clocks or
// the network. Times are unix seconds (UTC) passed in by the caller, so that
// renewal and start-up checks decide against one instant of their choosing.
//
// Thread-safety: every function is safe to call from any thread; they share
// no state. Objects passed in are only read (OpenSSL caches parsed
// extensions inside a certificate under its own lock).
//
// Errors: input that came from a person or a file (a host name, PEM text, a
// certificate to import) is refused with halvenor::Invalid carrying a message
// for that person. Caller mistakes (a key size out of range, a malformed
// HostIdentity) throw std::invalid_argument. An OpenSSL failure that no input
// explains (out of memory, no random source) throws std::runtime_error.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "net/openssl_handles.h"

namespace halvenor::setup {

// Validity periods. Browsers refuse server certificates valid for longer than
// 397 days; the local authority lives ten years so that the trust installed
// on receiving computers outlasts many server renewals.
inline constexpr int kCaCertificateDays = 3650;
inline constexpr int kMaxServerCertificateDays = 397;
// Certificates start this long before "now" so that a client whose clock is a
// little behind the server's does not see a certificate from the future.
inline constexpr int kClockSkewSeconds = 300;

// Input limits.
inline constexpr std::size_t kMaxPemBytes = 1024 * 1024;
inline constexpr std::size_t kMaxChainCertificates = 10;
inline constexpr std::size_t kMaxDnsNameLength = 253;
inline constexpr std::size_t kMaxDnsLabelLength = 63;
// X.509 caps a commonName at 64 characters; longer host names are carried by
// the subject alternative name alone.
inline constexpr std::size_t kMaxCommonNameLength = 64;
inline constexpr int kMinRsaBits = 2048;
inline constexpr int kMaxRsaBits = 8192;
// Random serial numbers: 16 bytes, always positive.
inline constexpr std::size_t kSerialBytes = 16;

// The name clients use to reach the server, as a certificate must carry it.
struct HostIdentity {
  enum Kind { Dns, Ip };
  Kind kind = Dns;
  std::string text;                    // lower-case DNS name, or canonical address text
  std::vector<unsigned char> address;  // Ip only: 4 (IPv4) or 16 (IPv6) bytes

  // "DNS:alerts.hospital.example" or "IP:10.0.0.5", as describe() lists names.
  std::string san_entry() const;
  bool operator==(const HostIdentity&) const = default;
};

// An IPv4 literal, or an IPv6 literal (optionally in [brackets]), gives Ip with
// the canonical address text. Otherwise a DNS name gives Dns: letters,
// digits, hyphens and dots; labels of 1-63 characters that neither start nor
// end with a hyphen; at most 253 characters; one trailing dot is dropped and
// letters are folded to lower case. A name whose last label is all digits is
// refused, since it can only be a mistyped address. Anything else (empty
// text, spaces, "host:port", underscores, a URL) throws Invalid.
HostIdentity identity(std::string_view host);

// Parses the first PEM certificate in the text (other PEM blocks before it,
// such as a key, are skipped). Throws Invalid.
X509Ptr cert_load(std::string_view pem);

// Parses every PEM certificate in the text, in file order; at least one, at
// most kMaxChainCertificates. Throws Invalid, naming a damaged certificate by
// its position.
std::vector<X509Ptr> cert_chain_load(std::string_view pem);

// True when the certificate's subject alternative names contain the host: a
// DNS entry equal to a Dns host ignoring case (a leftmost "*." label stands
// for exactly one label, and only under at least two further labels), or an
// IP entry with exactly the bytes of an Ip host. The subject's commonName is
// never consulted, and an address written as a DNS entry does not name an Ip
// host. A certificate without (or with a duplicated) SAN extension names
// nothing.
bool certificate_names(const X509* cert, const HostIdentity& host);

// What an administrator is shown about a certificate. Texts are valid UTF-8
// (bytes that are not are escaped), so they can go straight into JSON.
struct CertificateInfo {
  std::string subject;                // RFC 2253 form, e.g. "CN=alerts.hospital.example"
  std::string issuer;
  std::vector<std::string> names;     // SAN entries "DNS:x" / "IP:x"; other kinds omitted
  double not_before = 0;              // unix seconds
  double not_after = 0;
  std::string serial_hex;             // upper-case hex, "-" prefix if negative
  std::string sha256_fingerprint;     // of the DER encoding, "AB:CD:..."
  bool self_signed = false;           // issued_by(cert, cert)
};
// Throws Invalid when the validity dates cannot be read.
CertificateInfo describe(const X509* cert);

// not_before <= unix_now < not_after: the last instant is already outside.
// Throws Invalid when the validity dates cannot be read.
bool valid_at(const X509* cert, double unix_now);
double not_before(const X509* cert);
double not_after(const X509* cert);

std::string der(const X509* cert);  // DER bytes
std::string pem(const X509* cert);  // one "CERTIFICATE" block
std::string sha256_fingerprint(const X509* cert);

// True when cert names ca's subject as its issuer and its signature verifies
// with ca's public key. Both are required because TLS clients find an issuer
// by name before they check the signature.
bool issued_by(const X509* cert, const X509* ca);

// Key pairs. ECDSA P-256 is the default for everything issued here; RSA is for
// comparison and for authorities that require it. Bits outside
// [kMinRsaBits, kMaxRsaBits] throw std::invalid_argument.
EvpKeyPtr generate_ec_p256_key();
EvpKeyPtr generate_rsa_key(int bits);

// A self-signed authority: CA:TRUE with path length 0 (it signs server
// certificates only), critical; keyCertSign and cRLSign; subject and
// authority key identifiers; SHA-256 signature. common_name must be 1-64
// characters and days at least 1 (std::invalid_argument otherwise).
X509Ptr make_ca(EVP_PKEY* key, const std::string& common_name, double now,
                int days = kCaCertificateDays);

// A server certificate for host signed by the authority: CA:FALSE;
// digitalSignature (plus keyEncipherment for an RSA server key); extended key
// usage serverAuth; SAN of the host's kind; key identifiers; random positive
// serial. Valid from now - kClockSkewSeconds for min(days,
// kMaxServerCertificateDays) days, but never past the authority's own end.
// Throws Invalid when ca_key does not belong to ca or ca is not valid at now;
// std::invalid_argument when days < 1 or host is malformed.
X509Ptr issue_server_certificate(const X509* ca, EVP_PKEY* ca_key, EVP_PKEY* server_key,
                                 const HostIdentity& host, double now,
                                 int days = kMaxServerCertificateDays);

// A signing request for an IT-run authority: subject CN (when it fits) and a
// requested SAN, key usage and serverAuth, signed with key.
X509ReqPtr make_csr(EVP_PKEY* key, const HostIdentity& host);
std::string pem(const X509_REQ* request);  // one "CERTIFICATE REQUEST" block

// Unencrypted PKCS#8 ("PRIVATE KEY"). The text is a secret: callers store it
// with private_write().
std::string private_key_pem(EVP_PKEY* key);
// Reads an unencrypted PEM private key (PKCS#8 or the traditional forms). An
// encrypted key is refused rather than prompting for a pass phrase. Throws
// Invalid.
EvpKeyPtr private_key_load(std::string_view pem);

// True when the certificate carries the public half of key.
bool key_matches(const X509* cert, EVP_PKEY* key);

// Checks a chain issued by IT for the pending signing request before it is
// installed: server certificate first, then each issuer in order. Throws
// Invalid, with a distinct message, when the text holds no certificate; the
// server certificate does not carry pending_key, does not name host, is not
// valid at now, or is not for TLS server use; or a later certificate did not
// issue the one before it, is not an authority, or is not valid at now.
void check_imported_chain(std::string_view chain_pem, EVP_PKEY* pending_key,
                          const HostIdentity& host, double now);

}  // namespace halvenor::setup
