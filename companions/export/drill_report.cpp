#include "companions/export/drill_report.h"

#include <unordered_map>

#include "base/errors.h"
#include "companions/decision/decision_dashboard.h"
#include "companions/export/csv.h"
#include "server/core/audit_chain.h"
#include "server/core/core.h"

namespace halvenor {
namespace {

// The time from `created` to the latest of `column` among the alert's
// desktop deliveries; null when none has it.
Json slowest(Connection& conn, const std::string& alert_id, const char* column, double created) {
  auto row = conn.query_one(std::string("SELECT MAX(") + column + ") AS latest FROM deliveries "
                                                                  "WHERE alert_id=? AND channel='desktop'",
                            {alert_id});
  if (!row || !(*row)["latest"].is_number()) return nullptr;
  return (*row)["latest"].get<double>() - created;
}

Json with_slowest(Json figures, Json slowest_seconds) {
  figures["slowest_seconds"] = std::move(slowest_seconds);
  return figures;
}

std::string cell(const Json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return "";
  return json::field_text(value);
}

}  // namespace

Json drill_report(Core& core, const Json& alert_id) {
  if (!alert_id.is_string()) throw DashboardInvalid("Choose the exercise to report on.");
  Json seen = situation(core, Json{{"id", alert_id}});
  if (seen["alert"]["kind"] != "exercise") throw DashboardInvalid("A drill report is made for exercises only.");
  const std::string id = alert_id.get<std::string>();
  const double created = seen["alert"]["created"].get<double>();

  std::unordered_map<std::string, std::string> names;
  for (const Json& contact : core.config()->doc().at("contacts")) {
    const Json& name = member_or(contact, "display_name", kNull);
    if (contact.contains("id") && name.is_string()) names[contact["id"].get<std::string>()] = name.get<std::string>();
  }

  Json report = Json::object();
  report["generated_at"] = core.clock().now();
  report["alert"] = seen["alert"];
  report["reach"] = {{"totals", seen["totals"]}, {"by_site", seen["by_site"]}, {"by_department", seen["by_department"]}};

  DbScope scope = core.db();
  Connection& conn = scope.conn();
  conn.exec("BEGIN");  // one moment for the figures below and the chain verdict
  report["timing"] = {
      {"desktop_deliveries", seen["timing"]["desktop_deliveries"]},
      {"to_display", with_slowest(seen["timing"]["to_display"], slowest(conn, id, "displayed", created))},
      {"to_acknowledge", with_slowest(seen["timing"]["to_acknowledge"], slowest(conn, id, "acknowledged", created))}};
  report["silent_computers"] = seen["silent_computers"];
  report["not_acknowledged"] = seen["not_acknowledged"];
  Json failed = Json::array();
  for (const Json& job : conn.query("SELECT recipient_id,channel,attempts,reason FROM mobile_jobs "
                                    "WHERE alert_id=? AND state='failed' ORDER BY created,recipient_id",
                                    {id})) {
    const std::string recipient = job["recipient_id"].get<std::string>();
    const auto name = names.find(recipient);
    failed.push_back({{"recipient_id", recipient},
                      {"name", name == names.end() ? recipient : name->second},
                      {"channel", job["channel"]},
                      {"attempts", job["attempts"]},
                      {"reason", job["reason"]}});
  }
  report["mobile_jobs_failed"] = std::move(failed);
  report["audit_chain"] = chain_verdict_json(verify_audit_chain(conn));
  conn.exec("COMMIT");
  return report;
}

std::string drill_report_csv(const Json& report) {
  std::string out;
  const auto row = [&](const std::string& section, const std::string& item, const Json& value) {
    csv::append_record(out, {section, item, cell(value)});
  };
  row("section", "item", "value");
  for (const auto& [key, value] : report["alert"].items()) row("alert", key, value);
  row("report", "generated_at", report["generated_at"]);
  for (const auto& [status, count] : report["reach"]["totals"].items()) row("reach", status, count);
  for (const char* place : {"by_site", "by_department"}) {
    for (const Json& entry : report["reach"][place]) {
      for (const auto& [status, count] : entry["counts"].items())
        row(std::string("reach ") + place, cell(entry["label"]) + ": " + status, count);
    }
  }
  for (const char* measure : {"to_display", "to_acknowledge"}) {
    for (const auto& [figure, value] : report["timing"][measure].items())
      row("timing", std::string(measure) + " " + figure, value);
  }
  for (const Json& computer : report["silent_computers"])
    row("silent computer", cell(computer["id"]), computer["name"]);
  for (const Json& entry : report["not_acknowledged"])
    row("not acknowledged", cell(entry["recipient_id"]) + " (" + cell(entry["channel"]) + ")", entry["name"]);
  for (const Json& job : report["mobile_jobs_failed"])
    row("mobile job failed", cell(job["recipient_id"]) + " (" + cell(job["channel"]) + ")", job["reason"]);
  for (const auto& [key, value] : report["audit_chain"].items()) row("audit chain", key, value);
  return out;
}

}  // namespace halvenor
