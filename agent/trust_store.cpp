#include "agent/trust_store.h"

#include "agent/authority_certificate.h"
#include "base/errors.h"
#include "net/private_files.h"

namespace halvenor::agent {
namespace {

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string with_newline(std::string pem) {
  if (!pem.empty() && pem.back() != '\n') pem += '\n';
  return pem;
}

}  // namespace

TrustStore::TrustStore(const AgentSettings& settings, std::filesystem::path state_folder)
    : announced_file_(state_folder / "announced-ca.pem"),
      trust_file_(state_folder / "trusted-ca.pem"),
      bundle_pem_(with_newline(settings.ca_pem)),
      bundle_fingerprint_(settings.ca_fingerprint) {
  std::error_code missing;
  if (std::filesystem::exists(announced_file_, missing)) {
    // A damaged file is dropped rather than trusted: the bundle's authority
    // still works, and the server announces its current one again.
    try {
      const AuthorityCertificate cert = read_authority_certificate(setup::read_file(announced_file_, kMaxPemBytes));
      announced_pem_ = cert.pem;
      announced_fingerprint_ = cert.fingerprint;
    } catch (const std::exception&) {
      announced_pem_.clear();
      announced_fingerprint_.clear();
    }
  }
  write_trust_file();
}

bool TrustStore::trusts(const std::string& fingerprint) const {
  const std::string wanted = upper(fingerprint);
  return wanted == bundle_fingerprint_ || (!announced_fingerprint_.empty() && wanted == announced_fingerprint_);
}

void TrustStore::install(const std::string& pem, const std::string& fingerprint) {
  AuthorityCertificate cert;
  try {
    cert = read_authority_certificate(pem);
  } catch (const Invalid& e) {
    throw AgentSetupError(std::string("The announced authority could not be read: ") + e.what());
  }
  const std::string& actual = cert.fingerprint;
  if (actual != upper(fingerprint))
    throw AgentSetupError("The announced authority's fingerprint is " + actual + ", not the announced " +
                          fingerprint.substr(0, 128) + ".");
  if (!cert.is_authority)
    throw AgentSetupError("The announced certificate is not a certificate authority.");
  if (trusts(actual)) return;
  announced_pem_ = cert.pem;
  announced_fingerprint_ = actual;
  setup::private_write(announced_file_, announced_pem_);
  write_trust_file();
}

void TrustStore::write_trust_file() { setup::private_write(trust_file_, bundle_pem_ + announced_pem_); }

}  // namespace halvenor::agent
