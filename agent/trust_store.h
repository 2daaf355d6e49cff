// The authorities the agent trusts for the server: the one from the
// settings file, plus one the server announced later over a connection that
// was already trusted (so that the agent keeps working when the server moves
// to a new authority).
//
// Files in the state folder, both 0600: "announced-ca.pem" (the announced
// authority, kept across restarts) and "trusted-ca.pem" (everything trusted,
// the file the TLS client loads). Both authorities stay trusted, so the
// server may serve a certificate from either while it changes over.
//
// Thread-safety: one thread (the poll loop) uses it. Errors: install()
// throws AgentSetupError with the reason to report back; file faults are
// std::runtime_error.
#pragma once

#include <filesystem>
#include <string>

#include "agent/agent_settings.h"

namespace halvenor::agent {

inline constexpr std::size_t kMaxPemBytes = 1024 * 1024;

class TrustStore {
 public:
  TrustStore(const AgentSettings& settings, std::filesystem::path state_folder);

  // The file of PEM certificates the TLS client verifies the server with.
  const std::filesystem::path& trust_file() const { return trust_file_; }
  // True when the authority with this fingerprint is already trusted.
  bool trusts(const std::string& fingerprint) const;
  // Checks that `pem` is one certificate authority whose SHA-256 fingerprint
  // is `fingerprint`, then trusts it from the next connection on (replacing
  // an earlier announced one). Already trusted: nothing changes.
  void install(const std::string& pem, const std::string& fingerprint);

 private:
  void write_trust_file();

  std::filesystem::path announced_file_;
  std::filesystem::path trust_file_;
  std::string bundle_pem_, bundle_fingerprint_;
  std::string announced_pem_, announced_fingerprint_;
};

}  // namespace halvenor::agent
