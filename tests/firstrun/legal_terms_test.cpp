// The licence agreement: the documents and their hashes, refusing an absent
// or outdated agreement, and the record kept with an installation.
#include <gtest/gtest.h>

#include <fstream>
#include <regex>

#include "base/digest.h"
#include "firstrun/legal_terms.h"
#include "tests/firstrun/firstrun_test_support.h"
#include "tests/support/temp_folder.h"

namespace halvenor::legal {
namespace {

namespace fs = std::filesystem;
using firstrun_test::message_of;
using firstrun_test::mode_of;
using firstrun_test::read_all;

constexpr char kNotAgreed[] = "Read and agree to the licence terms to continue.";

class LegalTerms : public ::testing::Test {
 protected:
  void SetUp() override {
    legal = folder.path() / "legal";
    fs::copy(fs::path(HALVENOR_SOURCE_DIR) / "docs" / "legal", legal, fs::copy_options::recursive);
  }
  test_support::TempFolder folder;
  fs::path legal;
};

TEST_F(LegalTerms, DocumentsInFixedOrderWithHashes) {
  const auto docs = documents(legal);
  ASSERT_EQ(docs.size(), 2u);
  EXPECT_EQ(docs[0].file.filename(), "LICENCE-TERMS.txt");
  EXPECT_EQ(docs[1].file.filename(), "SAFETY-NOTICE.txt");
  for (const LegalDocument& doc : docs) {
    EXPECT_FALSE(doc.title.empty());
    EXPECT_EQ(doc.sha256, sha256_hex(read_all(doc.file)));
  }
  // The shipped safety notice says what the service is not.
  EXPECT_NE(read_all(docs[1].file).find("never replaces"), std::string::npos);
}

TEST_F(LegalTerms, AgreementNeedsConsentAndReadableTerms) {
  EXPECT_EQ(message_of([&] { agreement(legal, false); }), kNotAgreed);
  const Json accepted = agreement(legal, true);
  EXPECT_EQ(accepted["accepted"], true);
  ASSERT_EQ(accepted["documents"].size(), 2u);
  EXPECT_EQ(accepted["documents"][0]["name"], "LICENCE-TERMS.txt");
  EXPECT_EQ(accepted["documents"][1]["sha256"], documents(legal)[1].sha256);
  EXPECT_TRUE(std::regex_match(accepted["accepted_at"].get<std::string>(),
                               std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ)")));

  fs::remove(legal / "SAFETY-NOTICE.txt");
  const std::string unreadable = message_of([&] { agreement(legal, true); });
  EXPECT_NE(unreadable.find("SAFETY-NOTICE.txt"), std::string::npos) << unreadable;
}

TEST_F(LegalTerms, ValidateRefusesAbsentForgedOrOutdatedAcceptance) {
  const Json accepted = agreement(legal, true);
  EXPECT_EQ(message_of([&] { validate(legal, accepted); }), "");
  EXPECT_EQ(message_of([&] { validate(legal, Json()); }), kNotAgreed);
  Json declined = accepted;
  declined["accepted"] = "yes";
  EXPECT_EQ(message_of([&] { validate(legal, declined); }), kNotAgreed);
  Json missing = accepted;
  missing["documents"].erase(1);
  EXPECT_NE(message_of([&] { validate(legal, missing); }), "");

  std::ofstream(legal / "LICENCE-TERMS.txt", std::ios::app) << "\n9. A clause added later.\n";
  const std::string changed = message_of([&] { validate(legal, accepted); });
  EXPECT_NE(changed, "");
  EXPECT_NE(changed, kNotAgreed);
}

TEST_F(LegalTerms, RecordIsPrivateAndNamesKind) {
  const Json accepted = agreement(legal, true);
  record(legal, folder.path(), accepted, "server-installation");
  const fs::path file = folder.path() / "legal-acceptance.json";
  EXPECT_EQ(mode_of(file), 0600u);
  const Json written = Json::parse(read_all(file));
  EXPECT_EQ(written["kind"], "server-installation");
  EXPECT_EQ(written["documents"], accepted["documents"]);
  EXPECT_EQ(written["accepted_at"], accepted["accepted_at"]);
  EXPECT_NE(read_all(file).find("\n  \"kind\""), std::string::npos);  // indented

  fs::remove(file);
  EXPECT_EQ(message_of([&] { record(legal, folder.path(), Json(), "server-installation"); }), kNotAgreed);
  EXPECT_FALSE(fs::exists(file));
}

}  // namespace
}  // namespace halvenor::legal
