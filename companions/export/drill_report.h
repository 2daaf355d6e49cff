// The drill report of an exercise: what a hospital files as evidence that a
// drill took place and how it went.
//
// One JSON object, keys in this order:
//   generated_at      clock time of the report
//   alert             as the decision dashboard gives it (see companions/decision/decision_dashboard.h)
//   reach             {"totals", "by_site", "by_department"}: deliveries by
//                     display status, as the decision dashboard counts them
//   timing            to_display / to_acknowledge on receiving computers,
//                     each {count, median_seconds, p90_seconds,
//                     slowest_seconds} from the alert's creation
//   silent_computers  computers that had not polled shortly before the drill
//   not_acknowledged  recipients who did not acknowledge
//   mobile_jobs_failed [{recipient_id, name, channel, attempts, reason}]
//   audit_chain       the verdict on the whole audit trail (audit_chain.h)
//
// drill_report_csv gives the same as sections of "section,item,value" rows,
// for a spreadsheet. Reads only; thread-safe like situation().
#pragma once

#include <string>

#include "base/json_text.h"

namespace halvenor {

class Core;

// Throws DashboardInvalid for an unknown id or an alert that is not an
// exercise (a live incident's evidence is its history export).
Json drill_report(Core& core, const Json& alert_id);

std::string drill_report_csv(const Json& report);

}  // namespace halvenor
