// The WhatsApp template values and rendering, and the contact rules the
// queue relies on (who is on call, which numbers are usable).
#include <gtest/gtest.h>

#include <ctime>

#include "base/errors.h"
#include "server/core/contact_directory.h"
#include "server/core/whatsapp_template.h"

namespace halvenor {
namespace {

std::string template_refusal(const Json& values) {
  try {
    clean_values(values);
  } catch (const TemplateError& e) {
    return e.what();
  }
  return "";
}

TEST(WhatsAppValues, CleansKnownValues) {
  EXPECT_EQ(clean_values(nullptr), Json::object());
  EXPECT_EQ(clean_values({{"location", "  Ward 7 "}, {"action", ""}, {"contact_point", nullptr}}),
            (Json{{"location", "Ward 7"}}));
  EXPECT_EQ(clean_values({{"action", std::string(200, 'a')}})["action"].get<std::string>().size(), 200u);
}

TEST(WhatsAppValues, RefusesWithAClearMessage) {
  EXPECT_EQ(template_refusal(Json::array()), "WhatsApp details must be a set of named template values.");
  EXPECT_EQ(template_refusal({{"ward", "7"}}), "Unknown WhatsApp template value \"ward\".");
  EXPECT_EQ(template_refusal({{"location", 7}}), "WhatsApp value \"location\" must be text.");
  EXPECT_EQ(template_refusal({{"action", std::string(201, 'a')}}),
            "WhatsApp value \"action\" is longer than 200 characters.");
  EXPECT_EQ(template_refusal({{"location", "Ward 7\nBed 3"}}),
            "WhatsApp value \"location\" must be one line of text without tabs.");
  EXPECT_EQ(template_refusal({{"location", "Ward\t7"}}),
            "WhatsApp value \"location\" must be one line of text without tabs.");
}

TEST(WhatsAppValues, CountsCharactersNotBytes) {
  std::string ward = "Station \u00e9";  // 9 characters, 10 bytes
  std::string long_text;
  for (int i = 0; i < 120; ++i) long_text += "\u00e9";
  EXPECT_EQ(clean_values({{"location", long_text}})["location"], long_text);
  EXPECT_NE(template_refusal({{"location", long_text + "x"}}), "");
  EXPECT_EQ(clean_values({{"location", ward}})["location"], ward);
}

TEST(WhatsAppRender, ModesUseTheirTemplateAndWording) {
  Json exercise = render_whatsapp(" Fire drill ", "Leave by stair B", "exercise", {{"location", "Block C"}});
  EXPECT_EQ(exercise["template"], "halvenor_exercise_alert");
  EXPECT_EQ(exercise["text"], "EXERCISE - Fire drill\nLeave by stair B\nLocation: Block C\nThis is an exercise. No real incident.");
  Json live = render_whatsapp("Fire", "Leave", "live", nullptr);
  EXPECT_EQ(live["template"], "halvenor_incident_alert");
  EXPECT_EQ(live["text"], "INCIDENT - Fire\nLeave");
  EXPECT_EQ(render_whatsapp("Fire", "Over", "standdown", nullptr)["header"], "STAND-DOWN - Fire");
  EXPECT_THROW(render_whatsapp("Fire", "Leave", "drill", nullptr), TemplateError);
  EXPECT_THROW(render_whatsapp(nullptr, "Leave", "live", nullptr), TemplateError);
}

TEST(PhoneNumbers, OnlyInternationalFormat) {
  EXPECT_TRUE(international_number("+447700900123"));
  EXPECT_TRUE(international_number("+1555012"));
  EXPECT_FALSE(international_number("447700900123"));
  EXPECT_FALSE(international_number("+44 7700 900123"));
  EXPECT_FALSE(international_number("+0447700900123"));
  EXPECT_FALSE(international_number("+123456"));
  EXPECT_FALSE(international_number("+1234567890123456"));
  EXPECT_EQ(contact_phone({{"phone", "+447700900123"}}), "+447700900123");
  EXPECT_EQ(contact_phone({{"phone", 447700900123LL}}), std::nullopt);
  EXPECT_EQ(contact_phone(Json::object()), std::nullopt);
}

// A local time on a known weekday (2025-06-02 was a Monday).
double local_time(int day_of_june, int hour, int minute) {
  std::tm t{};
  t.tm_year = 125;
  t.tm_mon = 5;
  t.tm_mday = day_of_june;
  t.tm_hour = hour;
  t.tm_min = minute;
  t.tm_isdst = -1;
  return static_cast<double>(std::mktime(&t));
}

TEST(ContactActive, EnabledAndNotRemoved) {
  double now = local_time(2, 12, 0);
  EXPECT_TRUE(contact_active(Json::object(), Json::object(), now));
  EXPECT_FALSE(contact_active({{"enabled", false}}, Json::object(), now));
  EXPECT_FALSE(contact_active({{"enabled", 0}}, Json::object(), now));
  EXPECT_FALSE(contact_active({{"removed", true}}, Json::object(), now));
}

TEST(ContactActive, DaytimeWindow) {
  Json entry = {{"on_call", {{"start", "08:00"}, {"end", "17:30"}, {"days", {"mon", "tue"}}}}};
  EXPECT_TRUE(contact_active(entry, Json::object(), local_time(2, 8, 0)));
  EXPECT_TRUE(contact_active(entry, Json::object(), local_time(3, 17, 29)));
  EXPECT_FALSE(contact_active(entry, Json::object(), local_time(3, 17, 30)));
  EXPECT_FALSE(contact_active(entry, Json::object(), local_time(2, 7, 59)));
  EXPECT_FALSE(contact_active(entry, Json::object(), local_time(4, 12, 0))) << "Wednesday is not listed";
}

TEST(ContactActive, OvernightWindowBelongsToTheDayItStarts) {
  Json entry = {{"on_call", {{"start", "22:00"}, {"end", "06:00"}, {"days", {"mon"}}}}};
  EXPECT_TRUE(contact_active(entry, Json::object(), local_time(2, 23, 0)));
  EXPECT_TRUE(contact_active(entry, Json::object(), local_time(3, 5, 59))) << "Tuesday morning ends Monday's shift";
  EXPECT_FALSE(contact_active(entry, Json::object(), local_time(3, 23, 0)));
  EXPECT_FALSE(contact_active(entry, Json::object(), local_time(2, 5, 0))) << "Monday morning is Sunday's shift";
}

TEST(ContactActive, MalformedWindowCountsAsAlwaysOnCall) {
  EXPECT_TRUE(contact_active({{"on_call", {{"start", "8am"}, {"end", "17:00"}}}}, Json::object(), local_time(2, 3, 0)));
  EXPECT_TRUE(contact_active({{"on_call", {{"start", "25:00"}, {"end", "17:00"}}}}, Json::object(), local_time(2, 3, 0)));
}

}  // namespace
}  // namespace halvenor
