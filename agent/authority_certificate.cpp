#include "agent/authority_certificate.h"

#include <openssl/x509v3.h>

#include "net/certificates.h"

namespace halvenor::agent {

AuthorityCertificate read_authority_certificate(std::string_view pem) {
  const setup::X509Ptr cert = setup::cert_load(pem);
  return {setup::pem(cert.get()), setup::sha256_fingerprint(cert.get()), X509_check_ca(cert.get()) != 0};
}

}  // namespace halvenor::agent
