#include "companions/drills/drill_schedule.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>

#include "base/digest.h"
#include "base/errors.h"
#include "platform/local_time.h"
#include "server/core/directory_views.h"

namespace halvenor {
namespace {

constexpr std::array<const char*, 7> kDays = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
// Far enough for any monthly rule; a rule matching nothing in it is refused.
constexpr int kSearchDays = 370;
constexpr int kMaxMissedPerRun = 1000;
constexpr int kRunsListed = 100;

int weekday_of(const Json& name) {
  for (std::size_t i = 0; i < kDays.size(); ++i)
    if (name == kDays[i]) return static_cast<int>(i);
  throw Invalid("Drill schedule: days are mon, tue, wed, thu, fri, sat or sun");
}

std::pair<int, int> time_of(const Json& rule) {
  const Json& text = member_or(rule, "time", kNull);
  int hour = -1, minute = -1;
  char end = 0;
  if (!text.is_string() || text.get<std::string>().size() != 5 ||
      std::sscanf(text.get<std::string>().c_str(), "%2d:%2d%c", &hour, &minute, &end) != 2 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59)
    throw Invalid("Drill schedule: give the time as HH:MM, 00:00 to 23:59");
  return {hour, minute};
}

}  // namespace

std::optional<double> next_drill_time(const Json& rule, double after) {
  if (!rule.is_object()) throw Invalid("Drill schedule: choose when it repeats");
  const Json& repeat = member_or(rule, "repeat", kNull);
  const auto [hour, minute] = time_of(rule);
  if (repeat == "once") {
    const Json& date = member_or(rule, "date", kNull);
    platform::LocalDay day;
    char end = 0;
    if (!date.is_string() || date.get<std::string>().size() != 10 ||
        std::sscanf(date.get<std::string>().c_str(), "%4d-%2d-%2d%c", &day.year, &day.month, &day.day, &end) != 3 ||
        day.month < 1 || day.month > 12 || day.day < 1 || day.day > 31)
      throw Invalid("Drill schedule: give the date as YYYY-MM-DD");
    const double at = platform::local_instant(day, hour, minute);
    return at > after ? std::optional<double>(at) : std::nullopt;
  }
  std::array<bool, 7> on{};
  int week = 0;
  if (repeat == "daily") {
    on.fill(true);
  } else if (repeat == "weekly") {
    const Json& days = member_or(rule, "days", kNull);
    if (!days.is_array() || days.empty()) throw Invalid("Drill schedule: choose the days of the week");
    for (const Json& d : days) on[static_cast<std::size_t>(weekday_of(d))] = true;
  } else if (repeat == "monthly") {
    const Json& n = member_or(rule, "week", kNull);
    if (!n.is_number_integer() || n.get<int>() < 1 || n.get<int>() > 4)
      throw Invalid("Drill schedule: choose the first, second, third or fourth week of the month");
    week = n.get<int>();
    on[static_cast<std::size_t>(weekday_of(member_or(rule, "day", kNull)))] = true;
  } else {
    throw Invalid("Drill schedule: repeat once, daily, weekly or monthly");
  }
  for (int offset = 0; offset <= kSearchDays; ++offset) {
    const platform::LocalDay day = platform::local_day(after, offset);
    if (!on[static_cast<std::size_t>(day.weekday)]) continue;
    if (week != 0 && (day.day - 1) / 7 + 1 != week) continue;
    const double at = platform::local_instant(day, hour, minute);
    if (at > after) return at;
  }
  return std::nullopt;
}

void create_drill_schema(Connection& conn) {
  conn.exec(
      "CREATE TABLE IF NOT EXISTS drill_schedules(id TEXT PRIMARY KEY, author TEXT NOT NULL, created REAL NOT NULL, "
      "request TEXT NOT NULL, rule TEXT NOT NULL, state TEXT NOT NULL, next_at REAL)");
  conn.exec(
      "CREATE TABLE IF NOT EXISTS drill_runs(schedule_id TEXT NOT NULL, due REAL NOT NULL, at REAL NOT NULL, "
      "outcome TEXT NOT NULL, alert_id TEXT, detail TEXT, PRIMARY KEY(schedule_id, due))");
}

Json schedule_drill(Core& core, const std::string& actor, const Json& schedule) {
  if (!schedule.is_object()) throw Invalid("Drill schedule: send the request and the rule");
  const Json& request = member_or(schedule, "request", kNull);
  if (!request.is_object() || member_or(request, "test", kNull) != true)
    throw Invalid("Only exercises can be scheduled");
  const Json& rule = member_or(schedule, "rule", kNull);
  const double now = core.clock().now();
  const std::optional<double> first = next_drill_time(rule, now);
  if (!first) throw Invalid("Drill schedule: that time has passed");
  core.validate(request, actor);  // refused now, with the operator's own permissions

  const std::string id = uuid4(core.random());
  DbScope scope = core.db();
  Connection& conn = scope.conn();
  scope.begin_immediate();
  conn.execute("INSERT INTO drill_schedules(id,author,created,request,rule,state,next_at) VALUES(?,?,?,?,?,?,?)",
               {id, actor, now, json::field_text(request), json::field_text(rule), "active", *first});
  core.audit(conn, actor, "drill.scheduled",
             Json{{"schedule_id", id}, {"rule", rule}, {"title", request.at("title")}, {"next_at", *first}});
  scope.commit();
  return Json{{"id", id}, {"next_at", *first}};
}

void cancel_drill(Core& core, const std::string& actor, const Json& id) {
  if (!id.is_string()) throw Invalid("Choose the drill schedule to cancel");
  DbScope scope = core.db();
  Connection& conn = scope.conn();
  scope.begin_immediate();
  auto found = conn.query_one("SELECT state FROM drill_schedules WHERE id=?", {id});
  if (!found) throw Invalid("Unknown drill schedule");
  if ((*found)["state"] != "active") return;
  conn.execute("UPDATE drill_schedules SET state='cancelled', next_at=NULL WHERE id=?", {id});
  core.audit(conn, actor, "drill.cancelled", Json{{"schedule_id", id}});
  scope.commit();
}

Json drill_schedules(Core& core) {
  DbScope scope = core.db();
  Connection& conn = scope.conn();
  Json schedules = Json::array();
  for (Json& row : conn.query("SELECT id,author,created,request,rule,state,next_at FROM drill_schedules "
                              "ORDER BY state='active' DESC, next_at, created")) {
    const Json request = json::parse_text(row["request"].get<std::string>());
    schedules.push_back({{"id", row["id"]},
                         {"author", row["author"]},
                         {"created", row["created"]},
                         {"rule", json::parse_text(row["rule"].get<std::string>())},
                         {"title", request.at("title")},
                         {"state", row["state"]},
                         {"next_at", row["next_at"]}});
  }
  Json runs = Json::array();
  for (Json& row : conn.query("SELECT schedule_id,due,at,outcome,alert_id,detail FROM drill_runs "
                              "ORDER BY due DESC LIMIT ?",
                              {kRunsListed}))
    runs.push_back(std::move(row));
  return Json{{"schedules", std::move(schedules)}, {"runs", std::move(runs)}};
}

namespace {

// Whether `author` may still raise alerts: present, enabled, an operator.
bool still_an_operator(const Json& doc, const std::string& author) {
  auto user = find_user(required(doc, "users"), author);
  return user && user->active() && user->is_operator();
}

// Records one run and moves the schedule to its next time, in one transaction.
void record_run(Core& core, const std::string& id, const std::string& author, double due, const Json& rule,
                const std::string& outcome, const Json& alert_id, const std::string& detail) {
  const double now = core.clock().now();
  // After a missed time the next one is looked for from it, so each missed
  // time is recorded; after a run, from now.
  const std::optional<double> next = next_drill_time(rule, outcome == "missed" ? due : std::max(due, now));
  DbScope scope = core.db();
  Connection& conn = scope.conn();
  scope.begin_immediate();
  conn.execute("INSERT OR IGNORE INTO drill_runs(schedule_id,due,at,outcome,alert_id,detail) VALUES(?,?,?,?,?,?)",
               {id, due, now, outcome, alert_id, detail.empty() ? Json(nullptr) : Json(detail)});
  conn.execute("UPDATE drill_schedules SET next_at=?, state=? WHERE id=? AND state='active'",
               {next ? Json(*next) : Json(nullptr), next ? "active" : "done", id});
  const std::optional<std::string> actor = outcome == "raised" ? std::optional<std::string>(author) : std::nullopt;
  core.audit(conn, actor, "drill." + outcome,
             Json{{"schedule_id", id},
                  {"due", due},
                  {"alert_id", alert_id},
                  {"detail", detail.empty() ? Json(nullptr) : Json(detail)}});
  scope.commit();
}

}  // namespace

int run_due_drills(Core& core) {
  const double now = core.clock().now();
  std::vector<Json> due;
  {
    DbScope scope = core.db();
    due = scope.conn().query(
        "SELECT id,author,request,rule,next_at FROM drill_schedules WHERE state='active' AND next_at<=?", {now});
  }
  int recorded = 0;
  for (const Json& schedule : due) {
    const std::string id = schedule["id"].get<std::string>();
    const std::string author = schedule["author"].get<std::string>();
    const Json rule = json::parse_text(schedule["rule"].get<std::string>());
    double at = schedule["next_at"].get<double>();
    // Times that passed while the service was down are recorded, not raised.
    for (int i = 0; i < kMaxMissedPerRun && now - at > kDrillLateness; ++i) {
      record_run(core, id, author, at, rule, "missed", nullptr, "the service was not running at this time");
      ++recorded;
      const std::optional<double> next = next_drill_time(rule, at);
      if (!next) break;
      at = *next;
    }
    if (at > now || now - at > kDrillLateness) continue;
    if (!still_an_operator(core.config()->doc(), author)) {
      record_run(core, id, author, at, rule, "refused", nullptr, "its author is no longer an enabled operator");
      ++recorded;
      continue;
    }
    const std::string key = "drill:" + id + ":" + std::to_string(static_cast<long long>(std::llround(at)));
    try {
      const std::string alert = core.create(author, json::parse_text(schedule["request"].get<std::string>()), key);
      record_run(core, id, author, at, rule, "raised", alert, "");
    } catch (const Refusal& refusal) {
      record_run(core, id, author, at, rule, "refused", nullptr, refusal.what());
    }
    ++recorded;
  }
  return recorded;
}

}  // namespace halvenor
