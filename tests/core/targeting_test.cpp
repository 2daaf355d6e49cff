// Directory look-ups and recipient targeting: live-send permission, the site
// and department vocabularies, and how sites, departments and groups narrow
// the recipients.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/errors.h"
#include "server/core/core.h"
#include "server/core/directory_defaults.h"
#include "tests/support/config_builder.h"
#include "tests/support/core_harness.h"
#include "tests/support/refusal.h"

namespace halvenor {
namespace {

using test_support::ConfigBuilder;
using test_support::CoreHarness;
using test_support::refused_with;
using Ids = std::vector<std::string>;

Ids recipient_ids(CoreHarness& h, const Json& request) {
  ConfigPtr config = h->config();
  Ids ids;
  for (const Json* entry : h->recipients(*config, request)) ids.push_back(entry->at("id").get<std::string>());
  return ids;
}

Json builtin_departments() {
  Json list = Json::array();
  for (const char* name : DEPARTMENTS) list.push_back(name);
  return list;
}

TEST(TargetingTest, LiveSendNeedsAnOperatorWithTheFlagExactlyTrue) {
  CoreHarness h(ConfigBuilder()
                    .user("op", {{"can_send_live", true}})
                    .user("off", {{"can_send_live", true}, {"enabled", false}, {"removed", true}})
                    .user("reader", {{"role", "auditor"}, {"can_send_live", true}})
                    .user("text", {{"can_send_live", "true"}})
                    .user("one", {{"can_send_live", 1}})
                    .user("none"));
  EXPECT_TRUE(h->can_send_live("op"));
  EXPECT_FALSE(h->can_send_live("off"));  // a disabled or removed person never acts
  EXPECT_FALSE(h->can_send_live("reader"));
  EXPECT_FALSE(h->can_send_live("text"));
  EXPECT_FALSE(h->can_send_live("one"));
  EXPECT_FALSE(h->can_send_live("none"));
  EXPECT_FALSE(h->can_send_live("nobody"));

  Json config = ConfigBuilder().user("op", {{"can_send_live", true}}).user("other");
  config["users"][1].erase("role");
  h->replace_config(config);
  EXPECT_TRUE(h->can_send_live("op"));                    // the entry without role is never reached
  EXPECT_THROW(h->can_send_live("other"), MissingKey);     // reached: its role is required
  h->replace_config(ConfigBuilder().erase("users"));
  EXPECT_THROW(h->can_send_live("op"), MissingKey);
}

TEST(TargetingTest, SitesAreConfiguredOrDerivedSortedWithoutBoth) {
  CoreHarness h(ConfigBuilder()
                    .device("a", "South", "Wards")
                    .device("b", "BOTH", "Wards")
                    .device("c", "", "Wards")
                    .device("d", "North", "Wards", {{"enabled", false}})
                    .device("e", "Zed", "Wards", {{"site", nullptr}, {"sites", {"OnlyInList"}}})
                    .contact("x", "\u00c5lesund", "Wards", {"sms"})
                    .contact("y", "South", "Wards", {"sms"}, {{"removed", true}}));
  EXPECT_EQ(h->sites(), Json({"North", "South", "\u00c5lesund"}));
  EXPECT_EQ(h->site_labels(), Json({{"North", "North"}, {"South", "South"}, {"\u00c5lesund", "\u00c5lesund"}}));

  // A configured list is returned unchanged, in its own order.
  h->replace_config(ConfigBuilder()
                        .set("sites", {"West", "East", "West"})
                        .set("site_labels", {{"East", "East Campus"}, {"Nowhere", "ignored"}})
                        .device("a", "South", "Wards"));
  EXPECT_EQ(h->sites(), Json({"West", "East", "West"}));
  EXPECT_EQ(h->site_labels(), Json({{"West", "West"}, {"East", "East Campus"}}));

  // The entries are read even when the list is configured.
  h->replace_config(ConfigBuilder().set("sites", {"West"}).erase("contacts"));
  EXPECT_THROW(h->sites(), MissingKey);
  h->replace_config(ConfigBuilder().set("sites", {"West"}).erase("devices"));
  EXPECT_THROW(h->sites(), MissingKey);
}

TEST(TargetingTest, DepartmentsStartWithTheBuiltInListAndDropRepeats) {
  CoreHarness h(ConfigBuilder().set("departments", {"Pharmacy", "Wards", "Pharmacy", "Radiology"}));
  Json expected = builtin_departments();
  expected.push_back("Pharmacy");
  expected.push_back("Radiology");
  EXPECT_EQ(h->departments(), expected);
  EXPECT_EQ(h->department_labels(), DEPARTMENT_LABELS());

  h->replace_config(ConfigBuilder().set("department_labels", {{"Security", "Guards"}, {"Pharmacy", "Dispensary"}}));
  EXPECT_EQ(h->departments(), builtin_departments());
  EXPECT_EQ(h->department_labels(), Json({{"Security", "Guards"}, {"Pharmacy", "Dispensary"}}));

  h->replace_config(ConfigBuilder()
                        .set("use_default_departments", false)
                        .set("departments", {"Pharmacy", "Pharmacy"})
                        .set("department_labels", {{"Pharmacy", "Dispensary"}}));
  EXPECT_EQ(h->departments(), Json({"Pharmacy"}));
  EXPECT_EQ(h->department_labels(), Json({{"Pharmacy", "Dispensary"}}));

  h->replace_config(ConfigBuilder().set("use_default_departments", false).device("pc", "North", "Wards"));
  EXPECT_EQ(h->departments(), Json::array());
  EXPECT_EQ(h->department_labels(), Json::object());
  EXPECT_TRUE(refused_with([&] { recipient_ids(h, {{"sites", {"North"}}, {"departments", {"Wards"}}}); },
                           "Choose configured sites and valid departments"));
}

TEST(TargetingTest, RequestShapeIsCheckedBeforeSitesBeforeGroups) {
  CoreHarness h(test_support::sample_directory().group("g", {"pc-n"}));
  const char* lists = "Targets must be lists";
  const char* sites = "Choose configured sites and valid departments";
  for (Json bad : {Json({{"sites", "North"}}), Json({{"sites", {"North"}}, {"groups", "g"}}),
                   Json({{"sites", {"North"}}, {"departments", nullptr}}), Json({{"sites", {"North", 7}}}),
                   Json({{"groups", {{{"id", "g"}}}}}), Json({{"departments", {true}}, {"groups", {"missing"}}})})
    EXPECT_TRUE(refused_with([&] { recipient_ids(h, bad); }, lists)) << bad.dump();
  for (Json bad : {Json::object(), Json({{"groups", {"g"}}}), Json({{"sites", Json::array()}, {"groups", {"g"}}}),
                   Json({{"sites", {"North", "East"}}}), Json({{"sites", {"north"}}}),
                   Json({{"sites", {"North"}}, {"departments", {"Wards", "Kitchens"}}}),
                   Json({{"sites", {"BOTH"}}}), Json({{"sites", {"East"}}, {"groups", {"missing"}}})})
    EXPECT_TRUE(refused_with([&] { recipient_ids(h, bad); }, sites)) << bad.dump();
  EXPECT_TRUE(refused_with([&] { recipient_ids(h, {{"sites", {"North"}}, {"groups", {"g", "missing"}}}); },
                           "Unknown group"));
}

TEST(TargetingTest, SitesDepartmentsAndGroupsNarrowEachOther) {
  CoreHarness h(ConfigBuilder()
                    .contact("c-north", "North", "Wards", {"sms"})
                    .device("pc-north-wards", "North", "Wards")
                    .device("pc-north-estates", "North", "Estates")
                    .device("pc-both", "BOTH", "Security")
                    .device("pc-listed", "Nowhere", "Wards", {{"sites", {"South", "East"}}})
                    .device("pc-multi-dept", "South", "Estates", {{"departments", {"Estates", "Wards"}}})
                    .device("pc-off", "North", "Wards", {{"enabled", false}})
                    .device("pc-removed", "North", "Wards", {{"removed", true}})
                    .device("pc-south", "South", "Wards")
                    .contact("c-south", "South", "Wards", {"whatsapp"})
                    .contact("c-off", "North", "Wards", {"sms"}, {{"enabled", false}})
                    .contact("c-removed", "North", "Wards", {"sms"}, {{"removed", true}})
                    .group("responders", {"pc-south", "c-south", "pc-north-wards", "ghost"})
                    .group("extra", {"pc-both"})
                    .set("sites", {"North", "South", "East"}));
  // Devices first, then contacts, each in document order. A removed computer
  // is not addressed even when its entry still reads enabled: it can no
  // longer sign in, so its deliveries would only wait and count as unread.
  EXPECT_EQ(recipient_ids(h, {{"sites", {"North"}}}),
            (Ids{"pc-north-wards", "pc-north-estates", "pc-both", "c-north"}));
  EXPECT_EQ(recipient_ids(h, {{"sites", {"East"}}}), (Ids{"pc-both", "pc-listed"}));
  EXPECT_EQ(recipient_ids(h, {{"sites", {"South"}}}),
            (Ids{"pc-both", "pc-listed", "pc-multi-dept", "pc-south", "c-south"}));
  EXPECT_EQ(recipient_ids(h, {{"sites", {"North"}}, {"departments", {"Wards"}}}), (Ids{"pc-north-wards", "c-north"}));
  EXPECT_EQ(recipient_ids(h, {{"sites", {"South"}}, {"departments", {"Wards", "Security"}}}),
            (Ids{"pc-both", "pc-listed", "pc-multi-dept", "pc-south", "c-south"}));
  EXPECT_EQ(recipient_ids(h, {{"sites", {"South"}}, {"groups", {"responders"}}}), (Ids{"pc-south", "c-south"}));
  EXPECT_EQ(recipient_ids(h, {{"sites", {"North", "South"}}, {"groups", {"responders", "extra"}}}),
            (Ids{"pc-north-wards", "pc-both", "pc-south", "c-south"}));
  EXPECT_EQ(recipient_ids(h, {{"sites", {"East"}}, {"groups", {"responders"}}}), Ids{});
  EXPECT_EQ(recipient_ids(h, {{"sites", {"North"}}, {"departments", {"Estates"}}, {"groups", {"responders"}}}), Ids{});
}

}  // namespace
}  // namespace halvenor
