#include "agent/browser_trust.h"

#include <cstdlib>

#include "agent/agent_log.h"
#include "agent/child_program.h"
#include "base/errors.h"
#include "net/certificates.h"
#include "net/private_files.h"

namespace halvenor::agent {
namespace {

namespace fs = std::filesystem;

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

std::string last_line(const std::string& output) {
  std::string text = output;
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  std::size_t at = text.rfind('\n');
  return printable(at == std::string::npos ? text : text.substr(at + 1), 300);
}

}  // namespace

std::optional<fs::path> desktop_home() {
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/') return std::nullopt;
  return fs::path(home);
}

std::vector<fs::path> nss_databases(const fs::path& home) {
  std::vector<fs::path> out{home / ".pki" / "nssdb"};
  std::error_code ignored;
  const fs::path firefox = home / ".mozilla" / "firefox";
  if (fs::is_directory(firefox, ignored)) {
    for (const auto& entry : fs::directory_iterator(firefox, ignored))
      if (entry.is_directory(ignored) && fs::exists(entry.path() / "cert9.db", ignored)) out.push_back(entry.path());
  }
  return out;
}

BrowserTrustResult install_browser_trust(const std::string& pem, const std::string& fingerprint,
                                         const std::vector<fs::path>& databases, const fs::path& work_folder) {
  std::string actual;
  try {
    actual = setup::sha256_fingerprint(setup::cert_load(pem).get());
  } catch (const Invalid& e) {
    return {"failed", std::string("The authority could not be read: ") + e.what()};
  }
  if (actual != upper(fingerprint))
    return {"failed", "The authority's fingerprint " + actual + " differs from the one announced."};
  auto certutil = find_program("certutil");
  if (!certutil) return {"failed", "certutil is not installed on this computer (Debian/Ubuntu package libnss3-tools)."};

  const fs::path file = work_folder / "browser-ca.pem";
  setup::private_write(file, pem);
  const std::string nickname = "Halvenor Mass Communication CA " + actual.substr(0, 11);
  std::vector<std::string> done, failed;
  for (const fs::path& db : databases) {
    std::error_code ignored;
    const std::string location = "sql:" + db.string();
    if (!fs::exists(db / "cert9.db", ignored)) {
      setup::ensure_private_folder(db);
      ProgramResult created =
          run_program({*certutil, "-N", "-d", location, "--empty-password"}, kCertutilTimeoutSeconds);
      if (created.status != 0) {
        failed.push_back(db.string() + ": " + last_line(created.output));
        continue;
      }
    }
    // "C,,": a trusted issuer of website certificates, not of mail or code.
    ProgramResult added = run_program(
        {*certutil, "-A", "-d", location, "-n", nickname, "-t", "C,,", "-i", file.string()}, kCertutilTimeoutSeconds);
    if (added.status == 0)
      done.push_back(db.string());
    else
      failed.push_back(db.string() + ": " + last_line(added.output));
  }
  std::error_code ignored;
  fs::remove(file, ignored);
  if (!failed.empty()) {
    std::string detail = "certutil failed for " + failed.front();
    if (failed.size() > 1) detail += " (and " + std::to_string(failed.size() - 1) + " more)";
    return {"failed", detail};
  }
  std::string detail = "Trusted for websites in " + std::to_string(done.size()) + " NSS database(s).";
  return {"installed", detail};
}

}  // namespace halvenor::agent
