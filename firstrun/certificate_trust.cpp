#include "firstrun/certificate_trust.h"

#include <cstdlib>
#include <system_error>

#include "base/errors.h"
#include "platform/hidden_process.h"
#include "platform/user_account.h"

namespace fs = std::filesystem;

namespace halvenor::trust {
namespace {

constexpr char kNickname[] = "Halvenor Mass Communication CA";
constexpr char kSystemStore[] = "/usr/local/share/ca-certificates";
constexpr char kSystemFile[] = "halvenor-mass-communication-ca.crt";
constexpr auto kToolTimeout = std::chrono::seconds(60);

void check_known(const std::string& scope) {
  if (scope != "user" && scope != "machine")
    throw Invalid("Certificate trust must be for the current user or for all users on this PC.");
}

#ifndef _WIN32
fs::path user_nss_database() {
  const char* home = std::getenv("HOME");
  if (!home || !*home) throw Invalid("Cannot find your home folder to trust the certificate for the current user.");
  return fs::path(home) / ".pki" / "nssdb";
}
#endif

}  // namespace

#ifdef _WIN32

void validate_scope(const std::string& scope) {
  check_known(scope);
  throw Invalid("Automatic certificate trust is not available in this build. Ask IT to trust "
                "data\\halvenor-mass-communication-ca.cer on this PC.");
}

void install_ca(const std::string& scope, const fs::path&) { validate_scope(scope); }

#else

void validate_scope(const std::string& scope) {
  check_known(scope);
  if (scope == "machine") {
    if (!platform::is_administrator())
      throw Invalid("Trusting the certificate for all users on this PC needs administrator rights. Run setup as "
                    "root, or choose Current user.");
    std::error_code ec;
    if (!fs::is_directory(kSystemStore, ec) || platform::find_program("update-ca-certificates").empty())
      throw Invalid("This PC has no system certificate store that setup can update (update-ca-certificates). Ask IT "
                    "to trust data/halvenor-mass-communication-ca.cer, or choose Current user.");
    return;
  }
  if (platform::find_program("certutil").empty())
    throw Invalid("Trusting the certificate for the current user needs the certutil tool (package libnss3-tools). "
                  "Install it, or ask IT to trust data/halvenor-mass-communication-ca.cer on this PC.");
}

void install_ca(const std::string& scope, const fs::path& ca_certificate) {
  validate_scope(scope);
  if (scope == "machine") {
    const fs::path target = fs::path(kSystemStore) / kSystemFile;
    fs::copy_file(ca_certificate, target, fs::copy_options::overwrite_existing);
    fs::permissions(target,
                    fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read | fs::perms::others_read,
                    fs::perm_options::replace);
    platform::run_hidden({"update-ca-certificates"}, kToolTimeout);
    return;
  }
  // Chromium and Firefox on Linux read the user's shared NSS database; it is
  // created empty (no password) the first time, as the browsers would.
  const fs::path database = user_nss_database();
  const std::string location = "sql:" + database.string();
  if (!fs::exists(database / "cert9.db")) {
    fs::create_directories(database);
    fs::permissions(database, fs::perms::owner_all, fs::perm_options::replace);
    platform::run_hidden({"certutil", "-N", "-d", location, "--empty-password"}, kToolTimeout);
  }
  platform::run_hidden({"certutil", "-A", "-d", location, "-n", kNickname, "-t", "C,,", "-i",
                        ca_certificate.string()},
                       kToolTimeout);
}

#endif

}  // namespace halvenor::trust
