// Browser trust through certutil into NSS databases in a private folder.
#include "agent/browser_trust.h"

#include <gtest/gtest.h>

#include "agent/child_program.h"
#include "net/certificates.h"
#include "tests/support/temp_folder.h"

namespace halvenor::agent {
namespace {

namespace fs = std::filesystem;

TEST(BrowserTrustTest, AuthorityIsAddedForWebsitesOnlyAfterItsFingerprintIsChecked) {
  auto certutil = find_program("certutil");
  if (!certutil) GTEST_SKIP() << "certutil is not installed";
  test_support::TempFolder home;
  auto key = setup::generate_ec_p256_key();
  auto ca = setup::make_ca(key.get(), "Browser Trust Authority", 1.7e9);
  const std::string pem = setup::pem(ca.get()), fingerprint = setup::sha256_fingerprint(ca.get());
  // A Firefox profile with its own database is found beside the shared one.
  const fs::path profile = home.path() / ".mozilla" / "firefox" / "abcd.default-release";
  fs::create_directories(profile);
  ASSERT_EQ(run_program({*certutil, "-N", "-d", "sql:" + profile.string(), "--empty-password"}, 30).status, 0);
  fs::create_directories(home.path() / ".mozilla" / "firefox" / "no-database");
  const auto databases = nss_databases(home.path());
  ASSERT_EQ(databases, (std::vector<fs::path>{home.path() / ".pki" / "nssdb", profile}));

  auto other = setup::make_ca(setup::generate_ec_p256_key().get(), "Other", 1.7e9);
  BrowserTrustResult refused =
      install_browser_trust(pem, setup::sha256_fingerprint(other.get()), databases, home.path());
  EXPECT_EQ(refused.status, "failed");
  EXPECT_FALSE(fs::exists(home.path() / ".pki" / "nssdb" / "cert9.db"));

  BrowserTrustResult done = install_browser_trust(pem, fingerprint, databases, home.path());
  EXPECT_EQ(done.status, "installed") << done.detail;
  for (const fs::path& db : databases) {
    ProgramResult listed = run_program({*certutil, "-L", "-d", "sql:" + db.string()}, 30);
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.output.find("Halvenor Mass Communication CA " + fingerprint.substr(0, 11)), std::string::npos)
        << listed.output;
    EXPECT_NE(listed.output.find("C,,"), std::string::npos) << listed.output;
  }
  EXPECT_FALSE(fs::exists(home.path() / "browser-ca.pem"));  // the work copy is gone
}

}  // namespace
}  // namespace halvenor::agent
