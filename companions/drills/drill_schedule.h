// Scheduled drills: exercises that the service raises by itself at local
// times, once or repeating, so that drills happen on the plan the hospital
// files rather than when someone remembers.
//
// A schedule is {"request": an exercise alert request (as POST /api/alerts
// takes, "test": true), "rule": one of
//   {"repeat": "once", "date": "YYYY-MM-DD", "time": "HH:MM"}
//   {"repeat": "daily", "time": "HH:MM"}
//   {"repeat": "weekly", "days": ["mon", …, "sun"], "time": "HH:MM"}
//   {"repeat": "monthly", "week": 1–4, "day": "mon" … "sun", "time": "HH:MM"}
// } in the server's local time. The request is checked when the schedule is
// made, with the scheduling operator's permissions. At each time the service
// raises it as that operator, after checking again that the operator is still
// an enabled operator; a time that passed while the service was down is
// raised at start-up if at most 15 minutes late, else recorded as missed.
// Each run uses an idempotency key of its schedule and time, so a crash
// between raising and recording cannot raise it twice. Every step is an audit
// event.
#pragma once

#include <optional>
#include <string>

#include "server/core/core.h"

namespace halvenor {

inline constexpr double kDrillLateness = 15 * 60.0;

// The first time the rule names after `after` (Unix seconds), or nullopt when
// it names none (a one-off in the past). Throws Invalid for a malformed rule.
std::optional<double> next_drill_time(const Json& rule, double after);

// Stores a schedule; returns {"id", "next_at"}. Throws Invalid when the rule
// or request is refused (then nothing is written).
Json schedule_drill(Core& core, const std::string& actor, const Json& schedule);
// Cancels an active schedule; cancelling it again changes nothing.
void cancel_drill(Core& core, const std::string& actor, const Json& id);
// {"schedules": [{"id", "author", "created", "rule", "title", "state",
// "next_at"}], "runs": [{"schedule_id", "due", "at", "outcome", "alert_id",
// "detail"}] (newest 100)}.
Json drill_schedules(Core& core);
// Raises, records as missed or as refused every run that is due; returns how
// many runs it recorded.
int run_due_drills(Core& core);

void create_drill_schema(Connection& conn);

}  // namespace halvenor
