// Alert request validation: the order of the rules, text limits counted in
// code points, integer expiry, channel and mobile rules, and live gating.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "base/errors.h"
#include "base/json_text.h"
#include "server/core/core.h"
#include "tests/support/config_builder.h"
#include "tests/support/core_harness.h"
#include "tests/support/refusal.h"

namespace halvenor {
namespace {

using test_support::ConfigBuilder;
using test_support::CoreHarness;
using test_support::exercise_request;
using test_support::live_request;
using test_support::refusal_of;
using test_support::refused_with;
using Pairs = std::vector<std::string>;

const char* const kChooseMode = "Choose Exercise or Live incident explicitly";
const char* const kLiveSend = "Live desktop is disabled or your account lacks live-send permission";
const char* const kTitle = "title is required, maximum 100 characters";
const char* const kBody = "body is required, maximum 1000 characters";
const char* const kExpiry = "Expiry must be 1\u2013120 minutes";
const char* const kChannels = "Choose desktop, sms and/or whatsapp";
const char* const kProviderOff =
    "SMS or WhatsApp sending is disabled. IT must configure, test and enable its provider connection.";
const char* const kLiveMobile = "Live sending is not enabled for every selected mobile channel.";
const char* const kReference = "Live incidents require an incident reference of 3\u2013100 characters";
const char* const kNoRecipients = "No recipients match these sites, departments, groups and channels";
const char* const kUpgrade = "Upgrade and explicitly enable the live-capable agents for: ";

// "recipient/channel" for each delivery target, in order.
Pairs pairs_of(const std::vector<DeliveryTarget>& targets) {
  Pairs out;
  for (const auto& t : targets) out.push_back(t.recipient_id + "/" + t.channel);
  return out;
}

std::string refusal(CoreHarness& h, const Json& data, const std::optional<std::string>& actor = "op") {
  return refusal_of([&] { h->validate(data, actor); });
}

Pairs targets(CoreHarness& h, const Json& data, const std::optional<std::string>& actor = "op") {
  return pairs_of(h->validate(data, actor));
}

std::string repeat(const std::string& unit, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += unit;
  return out;
}

// Operational live desktop, mock providers on both mobile channels.
ConfigBuilder live_mock_directory() {
  return test_support::sample_directory().live().mobile("mock", "mock").live_operator(
      "op-no-mobile", {{"can_send_sms", false}, {"can_send_whatsapp", "true"}});
}

TEST(AlertValidationTest, RulesApplyInTheirOrder) {
  CoreHarness h(live_mock_directory());
  Json request = Json::object();
  EXPECT_EQ(refusal(h, request), kChooseMode);
  request["test"] = false;
  EXPECT_EQ(refusal(h, request, "plain"), kLiveSend);
  EXPECT_EQ(refusal(h, request, std::nullopt), kLiveSend);
  EXPECT_EQ(refusal(h, request), kTitle);
  request["title"] = "Evacuate ward 4";
  EXPECT_EQ(refusal(h, request), kBody);
  request["body"] = "Use the east stairs";
  EXPECT_EQ(refusal(h, request), "Severity must be ticker or critical");
  request["severity"] = "critical";
  EXPECT_EQ(refusal(h, request), kExpiry);
  request["ttl_minutes"] = 30;
  EXPECT_EQ(refusal(h, request), kChannels);
  request["channels"] = {"sms", "desktop"};
  EXPECT_EQ(refusal(h, request, "op-no-mobile"), "Your account lacks sms sending permission.");
  EXPECT_EQ(refusal(h, request), "IT has not enabled live sms sending.");
  request["channels"] = {"whatsapp", "desktop"};
  EXPECT_EQ(refusal(h, request, "op-no-mobile"), "Your account lacks whatsapp sending permission.");
  EXPECT_EQ(refusal(h, request), "IT has not enabled live whatsapp sending.");
  request["channels"] = {"desktop"};
  EXPECT_EQ(refusal(h, request), kReference);
  request["incident_reference"] = "INC-1";
  EXPECT_EQ(refusal(h, request), "Choose configured sites and valid departments");
  request["sites"] = {"North"};
  request["departments"] = {"Security"};
  EXPECT_EQ(refusal(h, request), kNoRecipients);
  request.erase("departments");
  request["whatsapp_values"] = {{"location", "Ward 4"}};
  EXPECT_EQ(refusal(h, request), "WhatsApp details require the WhatsApp channel.");
  request["whatsapp_values"] = {{"location", " \u3000 "}};  // cleans to nothing
  EXPECT_EQ(refusal(h, request), kUpgrade + std::string("pc-n"));
  h->poll("pc-n", true, "live-desktop-v1");
  EXPECT_EQ(targets(h, request), Pairs{"pc-n/desktop"});
}

TEST(AlertValidationTest, TestFlagMustBeAJsonBoolean) {
  CoreHarness h(live_mock_directory());
  for (Json test : {Json(0), Json(1), Json("false"), Json("true"), Json(nullptr)}) {
    Json request = exercise_request({{"title", ""}});
    request["test"] = test;
    EXPECT_EQ(refusal(h, request), kChooseMode) << test.dump();
  }
  EXPECT_EQ(refusal(h, exercise_request({{"test", nullptr}})), kChooseMode);
  // A live request is refused without live desktop, even for a live operator.
  CoreHarness off(test_support::sample_directory());
  EXPECT_EQ(refusal(off, live_request({{"title", ""}})), kLiveSend);
}

TEST(AlertValidationTest, TextLimitsCountCodePointsOfTheUntrimmedText) {
  CoreHarness h(test_support::sample_directory());
  const std::string e_acute = "\u00e9";  // two bytes in UTF-8
  const std::string fire = "\U0001F525";  // four bytes, one code point
  EXPECT_EQ(refusal(h, exercise_request({{"title", repeat(e_acute, 100)}})), "");
  EXPECT_EQ(refusal(h, exercise_request({{"title", repeat(fire, 100)}})), "");
  EXPECT_EQ(refusal(h, exercise_request({{"title", repeat(e_acute, 101)}})), kTitle);
  EXPECT_EQ(refusal(h, exercise_request({{"title", repeat("a", 99) + "  "}})), kTitle);
  EXPECT_EQ(refusal(h, exercise_request({{"title", repeat("a", 98) + "\u3000\u3000"}})), "");
  for (Json blank : {Json(""), Json("   "), Json("\u3000\u00a0\t\u2028"), Json(7), Json(nullptr),
                     Json::array({"Fire"})})
    EXPECT_EQ(refusal(h, exercise_request({{"title", blank}, {"body", ""}})), kTitle) << blank.dump();
  EXPECT_EQ(refusal(h, exercise_request({{"body", repeat(e_acute, 1000)}})), "");
  EXPECT_EQ(refusal(h, exercise_request({{"body", repeat(e_acute, 1001)}})), kBody);
  EXPECT_EQ(refusal(h, exercise_request({{"body", "\u00a0\u3000"}})), kBody);
}

TEST(AlertValidationTest, TextRefusesControlsAndDirectionOverrides) {
  CoreHarness h(test_support::sample_directory());
  for (const std::string& hidden :
       {std::string("a\0b", 3), std::string("a\rb"), std::string("a\tb"), std::string("a\x1b[2Jb"),
        std::string("a\u0085b"), std::string("pay \u202Eevif"), std::string("a\u2066b\u2069")}) {
    EXPECT_EQ(refusal(h, exercise_request({{"title", hidden}})), kTitle) << Json(hidden).dump();
    EXPECT_EQ(refusal(h, exercise_request({{"body", hidden}})), kBody) << Json(hidden).dump();
  }
  EXPECT_EQ(refusal(h, exercise_request({{"title", "a\nb"}})), kTitle);
  EXPECT_EQ(refusal(h, exercise_request({{"body", "Leave by the east stairs.\nDo not use lifts."}})), "");
  EXPECT_EQ(refusal(h, exercise_request({{"title", "\u05E9\u05E8\u05D9\u05E4\u05D4 fire \u200F"}})), "");
}

TEST(AlertValidationTest, ExpiryMustBeAJsonIntegerFromOneTo120) {
  CoreHarness h(test_support::sample_directory());
  auto with_ttl = [](const std::string& ttl) {
    return json::parse_text(R"({"test": true, "title": "Drill", "body": "Body", "severity": "ticker",)"
                            R"( "channels": ["desktop"], "sites": ["North"], "ttl_minutes": )" +
                            ttl + "}");
  };
  for (const char* ok : {"1", "120", "60"}) EXPECT_EQ(refusal(h, with_ttl(ok)), "") << ok;
  for (const char* bad : {"0", "121", "-1", "1.5", "\"5\"", "true", "5.0", "1e2", "1E1", "null", "[5]",
                          "18446744073709551615", "-9223372036854775808"})
    EXPECT_EQ(refusal(h, with_ttl(bad)), kExpiry) << bad;
  EXPECT_EQ(refusal(h, exercise_request({{"ttl_minutes", nullptr}})), kExpiry);
}

TEST(AlertValidationTest, ChannelsAreAListOfKnownNamesTakenOncePerRecipientInTextOrder) {
  CoreHarness h(test_support::sample_directory()
                    .mobile("mock", "mock")
                    .contact("c-sms", "North", "Wards", {"sms"})
                    .device("pc-n2", "North", "Estates"));
  for (Json bad : {Json::array(), Json("desktop"), Json({"desktop", 1}), Json({"email"}), Json({"Desktop"}),
                   Json({"desktop", nullptr})})
    EXPECT_EQ(refusal(h, exercise_request({{"channels", bad}})), kChannels) << bad.dump();
  EXPECT_EQ(targets(h, exercise_request({{"channels", {"desktop", "desktop"}}})),
            (Pairs{"pc-n/desktop", "pc-n2/desktop"}));
  EXPECT_EQ(targets(h, exercise_request({{"channels", {"whatsapp", "sms", "desktop", "sms"}}})),
            (Pairs{"pc-n/desktop", "pc-n2/desktop", "c-n/sms", "c-n/whatsapp", "c-sms/sms"}));
  EXPECT_EQ(targets(h, exercise_request({{"channels", {"whatsapp"}}})), Pairs{"c-n/whatsapp"});
  // Only contacts that list the channel, and only devices (entries with a token) get desktop.
  EXPECT_EQ(refusal(h, exercise_request({{"channels", {"whatsapp"}}, {"sites", {"South"}}})), kNoRecipients);
}

TEST(AlertValidationTest, MobileChannelsWithoutNetworkDeliveryNeedNoPermission) {
  // Drivers disabled: nothing really sends, so no permission is checked.
  CoreHarness h(test_support::sample_directory().mobile("disabled", "disabled"));
  EXPECT_EQ(targets(h, exercise_request({{"channels", {"sms", "whatsapp"}}}), "plain"),
            (Pairs{"c-n/sms", "c-n/whatsapp"}));
  EXPECT_EQ(targets(h, exercise_request({{"channels", {"sms"}}}), std::nullopt), Pairs{"c-n/sms"});

  // The same with the transport policy switched off is refused.
  Json off = test_support::sample_directory().mobile("disabled", "disabled").set("provider", "disabled");
  h->replace_config(off);
  EXPECT_EQ(refusal(h, exercise_request({{"channels", {"desktop", "sms"}}})), kProviderOff);
  EXPECT_EQ(targets(h, exercise_request()), Pairs{"pc-n/desktop"});
}

TEST(AlertValidationTest, MockProviderChecksPermissionPerChannel) {
  CoreHarness h(live_mock_directory()
                    .user("sms-only", {{"can_send_sms", true}})
                    .user("twin", {{"enabled", false}, {"can_send_sms", false}})
                    .user("twin", {{"can_send_sms", true}})
                    .user("off", {{"enabled", false}, {"can_send_sms", true}})
                    .user("gone", {{"removed", true}, {"can_send_sms", true}}));
  EXPECT_EQ(refusal(h, exercise_request({{"channels", {"sms"}}}), "plain"), "Your account lacks sms sending permission.");
  EXPECT_EQ(refusal(h, exercise_request({{"channels", {"sms"}}}), std::nullopt),
            "Your account lacks sms sending permission.");
  for (const char* inactive : {"off", "gone"})
    EXPECT_EQ(refusal(h, exercise_request({{"channels", {"sms"}}}), inactive),
              "Your account lacks sms sending permission.")
        << inactive;
  EXPECT_EQ(targets(h, exercise_request({{"channels", {"sms"}}}), "twin"), Pairs{"c-n/sms"});
  EXPECT_EQ(targets(h, exercise_request({{"channels", {"sms"}}}), "sms-only"), Pairs{"c-n/sms"});
  EXPECT_EQ(refusal(h, exercise_request({{"channels", {"sms", "whatsapp"}}}), "sms-only"),
            "Your account lacks whatsapp sending permission.");
  EXPECT_EQ(refusal(h, exercise_request({{"channels", {"whatsapp"}}}), "op-no-mobile"),
            "Your account lacks whatsapp sending permission.");  // "true" as text grants nothing
  EXPECT_EQ(targets(h, exercise_request({{"channels", {"sms", "whatsapp"}}, {"whatsapp_values", {{"action", "Go"}}}})),
            (Pairs{"c-n/sms", "c-n/whatsapp"}));

  // The top-level transport policy overrides the drivers: network delivery
  // is then off, so the permission check is skipped and the policy refuses.
  Json off = live_mock_directory().set("provider", "disabled");
  h->replace_config(off);
  EXPECT_EQ(refusal(h, exercise_request({{"channels", {"sms"}}}), "plain"), kProviderOff);
}

TEST(AlertValidationTest, LiveOnMobileChannelsWithoutLiveSendingIsRefused) {
  CoreHarness h(test_support::sample_directory().live().mobile("disabled", "disabled"));
  h->poll("pc-n", true);
  EXPECT_EQ(refusal(h, live_request({{"channels", {"desktop", "sms"}}}), "plain"), kLiveSend);
  EXPECT_EQ(refusal(h, live_request({{"channels", {"desktop", "sms"}}, {"incident_reference", nullptr}})), kLiveMobile);
  EXPECT_EQ(refusal(h, live_request({{"channels", {"whatsapp"}}})), kLiveMobile);
  EXPECT_EQ(targets(h, live_request()), Pairs{"pc-n/desktop"});
}

TEST(AlertValidationTest, IncidentReferenceIsTrimmedAndCountedInCodePoints) {
  CoreHarness h(test_support::sample_directory().live());
  h->poll("pc-n", true);
  for (Json ok : {Json("abc"), Json("  abc  "), Json("\u65e5\u672c\u8a9e"), Json(repeat("r", 100)),
                  Json("\u3000" + repeat("\u00e9", 100) + "\u3000")})
    EXPECT_EQ(refusal(h, live_request({{"incident_reference", ok}})), "") << ok.dump();
  for (Json bad : {Json("ab"), Json("  ab  "), Json("\u3000ab\u00a0"), Json(repeat("r", 101)), Json(12345),
                   Json::array({"INC-1"})})
    EXPECT_EQ(refusal(h, live_request({{"incident_reference", bad}})), kReference) << bad.dump();
  EXPECT_EQ(refusal(h, live_request({{"incident_reference", nullptr}})), kReference);
  // Exercises need none.
  EXPECT_EQ(refusal(h, exercise_request({{"incident_reference", 5}})), "");
}

TEST(AlertValidationTest, WhatsAppValuesNeedTheWhatsAppChannelOnceRecipientsExist) {
  CoreHarness h(test_support::sample_directory().mobile("mock", "mock"));
  Json values = {{"location", "Ward 4"}};
  EXPECT_EQ(refusal(h, exercise_request({{"channels", {"desktop", "sms"}}, {"whatsapp_values", values}})),
            "WhatsApp details require the WhatsApp channel.");
  EXPECT_EQ(refusal(h, exercise_request({{"sites", {"South"}}, {"departments", {"Wards"}}, {"whatsapp_values", values}})),
            kNoRecipients);
  for (Json empty : {Json(nullptr), Json::object(), Json({{"action", ""}, {"location", nullptr}})}) {
    Json request = exercise_request();
    request["whatsapp_values"] = empty;
    EXPECT_EQ(refusal(h, request), "") << empty.dump();
  }
  // Values that cannot be cleaned are the template component's refusal, passed on.
  EXPECT_THROW(h->validate(exercise_request({{"whatsapp_values", {{"room", "4"}}}}), "op"), TemplateError);
  EXPECT_THROW(h->validate(exercise_request({{"whatsapp_values", "Ward 4"}}), "op"), TemplateError);
}

TEST(AlertValidationTest, LiveNeedsEveryAddressedComputerToBeLiveCapable) {
  Json config = ConfigBuilder()
                    .live()
                    .live_operator("op")
                    .device("pc-a", "North", "Wards")
                    .device("pc-b", "North", "Wards")
                    .device("pc-c", "North", "Wards")
                    .device("pc-d", "South", "Wards", {{"allow_live_desktop", false}})
                    .device("pc-e", "South", "Wards", {{"allow_live_desktop", "true"}})
                    .device("pc-f", "South", "Wards", {{"allow_live_desktop", true}});
  CoreHarness h(config);
  // Never polled: listed in target order.
  EXPECT_EQ(refusal(h, live_request()), kUpgrade + std::string("pc-a, pc-b, pc-c"));
  h->poll("pc-b", true);
  h->poll("pc-c", false);
  EXPECT_EQ(refusal(h, live_request()), kUpgrade + std::string("pc-a, pc-c"));
  h->poll("pc-a", true, "live-desktop-v2");
  h->poll("pc-c", true, "live-desktop-v1");
  EXPECT_EQ(targets(h, live_request()), (Pairs{"pc-a/desktop", "pc-b/desktop", "pc-c/desktop"}));
  // Exercises are never gated.
  EXPECT_EQ(refusal(h, exercise_request({{"sites", {"South"}}})), "");

  // The computer's own switch must be exactly true, whatever its agent says.
  for (const char* id : {"pc-d", "pc-e", "pc-f"}) h->poll(id, true, "live-desktop-v2");
  EXPECT_EQ(refusal(h, live_request({{"sites", {"South"}}})), kUpgrade + std::string("pc-d, pc-e"));

  // A home lab counts only the second protocol.
  Json lab = config;
  lab["live_desktop"]["deployment_scope"] = "home_lab";
  CoreHarness home(lab);
  home->poll("pc-a", true, "live-desktop-v2");
  home->poll("pc-b", true, "live-desktop-v1");
  home->poll("pc-c", true, "live-desktop-v3");
  EXPECT_EQ(refusal(home, live_request()), kUpgrade + std::string("pc-b, pc-c"));
  home->poll("pc-b", true, "live-desktop-v2");
  home->poll("pc-c", true, "live-desktop-v2");
  EXPECT_EQ(refusal(home, live_request()), "");
  // The latest poll decides.
  home->poll("pc-a", false, "live-desktop-v2");
  EXPECT_EQ(refusal(home, live_request()), kUpgrade + std::string("pc-a"));
}

}  // namespace
}  // namespace halvenor
