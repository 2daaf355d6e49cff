// The agent's own check of the server's certificate on Windows. WinHTTP is
// told to accept an unknown authority, because the Windows certificate
// store must not vouch for the alert server: only the authorities in the
// agent's trust file may. This check then does what the store would have:
// a path from the server's certificate to one of those authorities (through
// at most a few intermediates the server sent), every signature on it
// (CryptVerifyCertificateSignatureEx), every certificate's validity dates,
// intermediates that are authorities, and the server's name among the
// certificate's subjectAltName DNS or IP entries (done here because Wine's
// WinHTTP does not match IP entries, and because WinHTTP's own name check
// is only as good as the store it came with).
//
// Errors: CertificateRefused with a message for IT. Thread-safe (no state).
#pragma once

// winsock2.h before windows.h, which would otherwise bring the old winsock.h.
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace halvenor::agent::win32 {

class CertificateRefused : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline constexpr int kMaxIntermediates = 4;

struct CertificateFree {
  void operator()(const CERT_CONTEXT* cert) const { CertFreeCertificateContext(cert); }
};
using Certificate = std::unique_ptr<const CERT_CONTEXT, CertificateFree>;

// Every "CERTIFICATE" block in the PEM text, in order; other blocks are
// skipped. Throws CertificateRefused when a block cannot be decoded.
std::vector<Certificate> load_pem_certificates(std::string_view pem);

// The first certificate's DER bytes re-encoded as one PEM block.
std::string pem_of(const CERT_CONTEXT* cert);

// "AB:CD:..." of the certificate's DER bytes.
std::string sha256_fingerprint(const CERT_CONTEXT* cert);

// Basic constraints say it is an authority.
bool is_authority(const CERT_CONTEXT* cert);

// Accepts `server` (with the certificates the server sent in its store) for
// `host` only when it chains to one of `authorities`, as described above.
void check_server_certificate(const CERT_CONTEXT* server, const std::vector<Certificate>& authorities,
                              const std::string& host, bool host_is_address);

}  // namespace halvenor::agent::win32
