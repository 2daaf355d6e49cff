// Scheduled drills: when they fall in local time, and that each time is
// raised once, recorded as missed, or refused, whatever restarts happen.
#include "companions/drills/drill_schedule.h"

#include <gtest/gtest.h>

#include <ctime>

#include "tests/support/config_builder.h"
#include "tests/support/core_harness.h"
#include "tests/support/refusal.h"
#include "tests/support/scoped_environment.h"

namespace halvenor {
namespace {

using test_support::CoreHarness;
using test_support::exercise_request;

// The process's local time zone for one test.
class LocalZone {
 public:
  explicit LocalZone(const std::string& zone) : env_("TZ", zone) { tzset(); }

 private:
  struct Reread {
    ~Reread() { tzset(); }  // after env_ has put the old zone back
  } reread_;
  test_support::ScopedEnvironment env_;
};

double utc(int year, int month, int day, int hour, int minute) {
  std::tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = hour;
  t.tm_min = minute;
  return static_cast<double>(timegm(&t));
}

TEST(DrillScheduleTest, NextTimeFollowsEachRuleInLocalTime) {
  LocalZone zone("Europe/London");
  const double wednesday = utc(2026, 12, 9, 10, 0);
  EXPECT_EQ(next_drill_time({{"repeat", "daily"}, {"time", "09:30"}}, wednesday), utc(2026, 12, 10, 9, 30));
  EXPECT_EQ(next_drill_time({{"repeat", "weekly"}, {"days", {"mon", "thu"}}, {"time", "08:00"}}, wednesday),
            utc(2026, 12, 10, 8, 0));
  // The second Tuesday of December has passed; January's is the 12th.
  EXPECT_EQ(next_drill_time({{"repeat", "monthly"}, {"week", 2}, {"day", "tue"}, {"time", "09:00"}}, wednesday),
            utc(2027, 1, 12, 9, 0));
  EXPECT_FALSE(next_drill_time({{"repeat", "once"}, {"date", "2026-12-08"}, {"time", "09:00"}}, wednesday));
  // 09:30 local after the clocks go forward is 08:30 UTC.
  EXPECT_EQ(next_drill_time({{"repeat", "daily"}, {"time", "09:30"}}, utc(2027, 3, 27, 12, 0)),
            utc(2027, 3, 28, 8, 30));
  EXPECT_TRUE(test_support::refused_with([&] { next_drill_time({{"repeat", "daily"}, {"time", "9:30"}}, 0); },
                                         "Drill schedule: give the time as HH:MM, 00:00 to 23:59"));
}

Json directory(bool op2_enabled = true) {
  return test_support::sample_directory().live_operator("op2", {{"enabled", op2_enabled}}).build();
}

// The harness starts at 2023-11-14 22:13:20 UTC.
Json drill(const char* repeat) {
  Json rule = {{"repeat", repeat}, {"time", "22:15"}};
  if (std::string(repeat) == "once") rule["date"] = "2023-11-14";
  return {{"request", exercise_request({{"title", "Scheduled drill"}})}, {"rule", rule}};
}

long long alerts_titled(CoreHarness& h) {
  return h.row("SELECT COUNT(*) AS n FROM alerts WHERE title='Scheduled drill'")["n"].get<long long>();
}

TEST(DrillScheduleTest, EachTimeIsRaisedOnceMissedOrRefusedAcrossRestarts) {
  LocalZone zone("UTC");
  CoreHarness h(directory());
  const Json once = schedule_drill(h.core(), "op", drill("once"));
  EXPECT_EQ(once["next_at"], utc(2023, 11, 14, 22, 15));
  const Json daily = schedule_drill(h.core(), "op2", drill("daily"));
  const Json live = {{"request", exercise_request({{"test", false}})}, {"rule", drill("daily")["rule"]}};
  EXPECT_TRUE(test_support::refused_with([&] { schedule_drill(h.core(), "op", live); },
                                         "Only exercises can be scheduled"));

  h.clock().advance(120);  // 22:15:20
  EXPECT_EQ(run_due_drills(h.core()), 2);
  EXPECT_EQ(alerts_titled(h), 2);
  EXPECT_EQ(h.row("SELECT author FROM alerts WHERE title='Scheduled drill' ORDER BY author LIMIT 1")["author"], "op");
  h.stop();
  h.start(directory());
  EXPECT_EQ(run_due_drills(h.core()), 0);
  EXPECT_EQ(h.row("SELECT state FROM drill_schedules WHERE id=?", {once["id"]})["state"], "done");

  // The service down over each of the next two times, for an hour past it:
  // both are recorded as missed, neither is raised late.
  h.clock().advance(25 * 3600.0);
  EXPECT_EQ(run_due_drills(h.core()), 1);
  h.clock().advance(24 * 3600.0);
  EXPECT_EQ(run_due_drills(h.core()), 1);
  EXPECT_EQ(h.row("SELECT COUNT(*) AS n FROM drill_runs WHERE outcome='missed'")["n"], 2);
  EXPECT_EQ(alerts_titled(h), 2);

  // Its author disabled: the next time is refused, not raised.
  h.stop();
  h.start(directory(false));
  h.clock().advance(23 * 3600.0);
  EXPECT_EQ(run_due_drills(h.core()), 1);
  EXPECT_EQ(alerts_titled(h), 2);
  const Json runs = drill_schedules(h.core())["runs"];
  EXPECT_EQ(runs[0]["outcome"], "refused");
  EXPECT_EQ(runs[0]["schedule_id"], daily["id"]);
}

}  // namespace
}  // namespace halvenor
