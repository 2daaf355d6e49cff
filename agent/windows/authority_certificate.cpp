#include "agent/authority_certificate.h"

#include "agent/windows/certificate_check.h"
#include "base/errors.h"

namespace halvenor::agent {

AuthorityCertificate read_authority_certificate(std::string_view pem) {
  std::vector<win32::Certificate> certificates;
  try {
    certificates = win32::load_pem_certificates(pem);
  } catch (const win32::CertificateRefused& e) {
    throw Invalid(e.what());
  }
  if (certificates.empty()) throw Invalid("The text holds no PEM certificate.");
  const CERT_CONTEXT* cert = certificates.front().get();
  return {win32::pem_of(cert), win32::sha256_fingerprint(cert), win32::is_authority(cert)};
}

}  // namespace halvenor::agent
