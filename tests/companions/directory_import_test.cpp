#include "companions/access/directory_import.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "base/errors.h"
#include "companions/access/access_manager.h"
#include "tests/companions/companion_test_support.h"

namespace halvenor {
namespace {

using testing_support::Installation;

class DirectoryImportTest : public ::testing::Test {
 protected:
  Json import(const Json& request) { return import_directory(home_.core(), *home_.parts().access(), "admin", request); }
  std::string config_on_disk() { return setup::read_file(home_.config_path(), 1 << 26); }

  Installation home_;
};

TEST_F(DirectoryImportTest, ThousandsOfRowsArriveInPiecesAndApplyAsOneAuditedChange) {
  std::string file = "Kind,ID,display_name,site,department,phone,channels\r\n";
  file += "computer,ward-pc-7,Ward 7 front desk,,,,\r\n";  // an existing computer, renamed
  for (int i = 0; i < 3000; ++i) file += "computer,bulk-pc-" + std::to_string(i) + ",Bulk PC,South,Wards,,\n";
  for (int i = 0; i < 1000; ++i)
    file += "contact,bulk-contact-" + std::to_string(i) + ",\"Nurse, on call\",North,,'+4416329" +
            std::to_string(10000 + i) + ",sms;whatsapp\n";
  const std::size_t audit_before = home_.audit_events().size();
  const std::string disk_before = config_on_disk();

  for (std::size_t offset = 0; offset < file.size(); offset += 12000)
    import({{"action", "stage"}, {"offset", offset}, {"text", file.substr(offset, 12000)}});
  const auto started = std::chrono::steady_clock::now();
  Json preview = import({{"action", "preview"}});
  EXPECT_EQ(preview["counts"], Json({{"rows", 4001}, {"add", 4000}, {"update", 1}, {"unchanged", 0}, {"errors", 0}}));
  EXPECT_EQ(preview["rows"][0]["action"], "update");
  EXPECT_EQ(config_on_disk(), disk_before);  // a preview writes nothing
  EXPECT_EQ(home_.audit_events().size(), audit_before);

  Json done = import({{"action", "commit"}});
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
  EXPECT_EQ(done["added"], 4000);
  const Json& doc = home_.core().config()->doc();
  EXPECT_EQ(doc["devices"].size(), 3001u);
  EXPECT_EQ(doc["devices"][0]["display_name"], "Ward 7 front desk");
  EXPECT_EQ(doc["devices"][0]["token"], testing_support::kDeviceToken);
  EXPECT_EQ(doc["contacts"][0]["phone"], "+441632910000");
  EXPECT_EQ(doc["contacts"][0]["display_name"], "Nurse, on call");
  EXPECT_EQ(doc["contacts"][0]["channels"], Json({"sms", "whatsapp"}));
  EXPECT_EQ(json::parse_text(config_on_disk()), doc);
  std::vector<std::string> events = home_.audit_events();
  ASSERT_EQ(events.size(), audit_before + 1);
  EXPECT_EQ(events.back(), "access.directory.imported");

  // What is exported imports again unchanged.
  Json again = import({{"action", "preview"},
                       {"text", export_directory_csv(home_.core(), *home_.parts().access(), "admin")}});
  EXPECT_EQ(again["counts"]["errors"], 0);
  EXPECT_EQ(again["counts"]["add"], 0);
}

TEST_F(DirectoryImportTest, ARowInErrorIsShownAndStopsTheWholeCommit) {
  const std::string file =
      "kind,id,site,department\n"
      "computer,new-pc-1,North,Wards\n"
      "computer,new-pc-2,Atlantis,Wards\n"
      "computer,new-pc-1,North,Wards\n"
      "contact,WARD-PC-7,North,Wards\n";
  Json preview = import({{"action", "preview"}, {"text", file}});
  EXPECT_EQ(preview["counts"]["errors"], 3);
  EXPECT_EQ(preview["rows"][0]["action"], "add");
  EXPECT_EQ(preview["rows"][1]["row"], 3);
  EXPECT_EQ(preview["rows"][1]["error"], "Unknown site \"Atlantis\"; add it to the sites first.");
  EXPECT_EQ(preview["rows"][2]["error"], "\"new-pc-1\" is already on line 2 of this file.");
  EXPECT_EQ(preview["rows"][3]["error"], "\"WARD-PC-7\" is already in use.");

  const std::string disk_before = config_on_disk();
  const std::size_t audit_before = home_.audit_events().size();
  try {
    import({{"action", "commit"}, {"text", file}});
    ADD_FAILURE() << "committed a file with errors";
  } catch (const AccessInvalid& e) {
    EXPECT_STREQ(e.what(), "3 rows have errors; preview the file again and correct them. Nothing was changed.");
  }
  EXPECT_EQ(config_on_disk(), disk_before);
  EXPECT_EQ(home_.audit_events().size(), audit_before);
  EXPECT_THROW(import_directory(home_.core(), *home_.parts().access(), "operator", {{"action", "preview"}, {"text", file}}),
               AccessDenied);
}

}  // namespace
}  // namespace halvenor
