// Trusting the installation's authority: which scopes this computer can
// serve, and a real import into a user's NSS database.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>

#include "firstrun/certificate_trust.h"
#include "net/certificates.h"
#include "net/private_files.h"
#include "platform/hidden_process.h"
#include "tests/firstrun/firstrun_test_support.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_folder.h"

namespace halvenor::trust {
namespace {

namespace fs = std::filesystem;
using test_support::ScopedEnvironment;
using firstrun_test::message_of;

TEST(CertificateTrust, UnknownScopesAreRefused) {
  for (const char* scope : {"", "everyone", "User", "machine "})
    EXPECT_NE(message_of([&] { validate_scope(scope); }), "") << scope;
}

TEST(CertificateTrust, MachineScopeNeedsRootAndASystemStore) {
  const std::string message = message_of([] { validate_scope("machine"); });
  const bool store = fs::is_directory("/usr/local/share/ca-certificates") &&
                     !platform::find_program("update-ca-certificates").empty();
  if (geteuid() == 0 && store) {
    EXPECT_EQ(message, "");
  } else {
    EXPECT_NE(message, "");
  }
  if (geteuid() != 0) {
    EXPECT_NE(message.find("administrator"), std::string::npos) << message;
  }
}

TEST(CertificateTrust, UserScopeNeedsCertutil) {
  test_support::TempFolder empty;
  {
    ScopedEnvironment path("PATH", empty.path().string());
    const std::string message = message_of([] { validate_scope("user"); });
    EXPECT_NE(message.find("certutil"), std::string::npos) << message;
    EXPECT_NE(message.find("libnss3-tools"), std::string::npos) << message;
  }
  if (platform::find_program("certutil").empty()) GTEST_SKIP() << "certutil is not installed";
  EXPECT_EQ(message_of([] { validate_scope("user"); }), "");
}

TEST(CertificateTrust, UserScopeImportsIntoANewNssDatabase) {
  if (platform::find_program("certutil").empty()) GTEST_SKIP() << "certutil is not installed";
  test_support::TempFolder home;
  auto key = setup::generate_ec_p256_key();
  auto ca = setup::make_ca(key.get(), "Trust Test Authority", static_cast<double>(std::time(nullptr)));
  const fs::path pem = home.path() / "ca.cer";
  setup::private_write(pem, setup::pem(ca.get()));

  ScopedEnvironment env("HOME", home.path().string());
  install_ca("user", pem);
  const fs::path database = home.path() / ".pki" / "nssdb";
  EXPECT_TRUE(fs::exists(database / "cert9.db"));
  const auto listed =
      platform::run_hidden({"certutil", "-L", "-d", "sql:" + database.string(), "-n", "Halvenor Mass Communication CA"},
                           std::chrono::seconds(30));
  EXPECT_NE(listed.output.find("Trust Test Authority"), std::string::npos) << listed.output;
  // Trusting again (a retried setup) replaces rather than fails.
  EXPECT_EQ(message_of([&] { install_ca("user", pem); }), "");
}

}  // namespace
}  // namespace halvenor::trust
