// Browser trust on Linux: the server's authority added to the desktop
// user's NSS certificate databases (the shared one that Chromium-based
// browsers read, ~/.pki/nssdb, created when missing, and every Firefox
// profile that already has one) with certutil, marked trusted for web
// servers only.
//
// Thread-safety: one thread. Never throws for an expected failure: the
// result says what to report to the server.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace halvenor::agent {

inline constexpr double kCertutilTimeoutSeconds = 30.0;

struct BrowserTrustResult {
  std::string status;  // "installed" or "failed"
  std::string detail;
};

// The desktop user's home folder ($HOME when it is an absolute path; on
// Windows %USERPROFILE%), or nothing when the system names none.
std::optional<std::filesystem::path> desktop_home();

// The databases for the user whose home folder is `home`: the shared one
// first, then Firefox profiles holding cert9.db.
std::vector<std::filesystem::path> nss_databases(const std::filesystem::path& home);

// Checks that `pem` has the SHA-256 fingerprint `fingerprint`, then installs
// it into each database. `work_folder` (private) holds the certificate file
// for certutil while it runs.
BrowserTrustResult install_browser_trust(const std::string& pem, const std::string& fingerprint,
                                         const std::vector<std::filesystem::path>& databases,
                                         const std::filesystem::path& work_folder);

}  // namespace halvenor::agent
