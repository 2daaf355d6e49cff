// The certificate authority a settings, rollout or announcement names, read
// from its PEM text: what the agent checks before trusting it. Implemented
// with OpenSSL on Linux (agent/authority_certificate.cpp) and with the
// Windows certificate functions on Windows (agent/windows/).
//
// Errors: halvenor::Invalid with a message for IT when the text holds no
// readable certificate. Pure function; thread-safe.
#pragma once

#include <string>
#include <string_view>

namespace halvenor::agent {

struct AuthorityCertificate {
  std::string pem;          // the first certificate in the text, re-encoded
  std::string fingerprint;  // SHA-256 of its DER bytes, "AB:CD:..."
  bool is_authority = false;  // basic constraints say CA
};

// The first certificate in the text (other PEM blocks before it are skipped).
AuthorityCertificate read_authority_certificate(std::string_view pem);

}  // namespace halvenor::agent
