// Routes of people at the dashboard: raise, preview, cancel and conclude
// alerts; read the state, the audit trail, the decision dashboard and exports.
#include <set>
#include <unordered_map>

#include "base/errors.h"
#include "companions/access/access_manager.h"
#include "companions/decision/decision_dashboard.h"
#include "companions/drills/drill_schedule.h"
#include "companions/export/drill_report.h"
#include "companions/export/history_export.h"
#include "companions/mobile/mobile_integrations.h"
#include "server/core/core.h"
#include "server/core/coverage.h"
#include "server/core/directory_views.h"
#include "server/core/escalation.h"
#include "server/core/snapshot.h"
#include "server/http/routes.h"

namespace halvenor::http {

HttpResponse get_state(RequestContext& c) {
  Core& core = c.core();
  ConfigPtr cfg = core.config();
  auto user = find_user(required(cfg->doc(), "users"), c.actor);
  // A caller without a user entry means the directory changed under us.
  if (!user) throw std::runtime_error("signed-in user has no directory entry");

  const Json& name = member_or(user->json(), "display_name", kNull);
  Json caller = Json::object();
  caller["current_user"] = {{"id", c.actor}, {"display_name", truthy(name) ? name : Json(c.actor)}};
  caller["role"] = c.role;
  caller["can_send_live"] = core.can_send_live(c.actor);
  bool sender = c.role == "operator" && user->active();
  caller["can_send_sms"] = sender && user->granted("can_send_sms");
  caller["can_send_whatsapp"] = sender && user->granted("can_send_whatsapp");
  caller["can_manage_users"] = c.service.access != nullptr && c.service.access->allowed(c.actor);
  // The snapshot runs to tens of megabytes with a long history; its text is
  // written directly and the caller's members appended to it.
  return reply_bytes(200, snapshot_text(core, caller), "application/json");
}

HttpResponse get_audit(RequestContext& c) {
  DbScope scope = c.core().db();
  return reply(200, Json(scope->query("SELECT * FROM audit ORDER BY seq")));
}

HttpResponse post_dashboard(RequestContext& c) { return reply(200, situation(c.core(), c.data)); }

// {"id": exercise id, "format": "json" (default) or "csv"}.
HttpResponse post_drill_report(RequestContext& c) {
  const Json& format = member_or(c.data, "format", kNull);
  if (!format.is_null() && format != "json" && format != "csv")
    throw ExportInvalid("Choose csv or json as the export format.");
  Json report = drill_report(c.core(), member_or(c.data, "id", kNull));
  if (format != "csv") return reply(200, report);
  const std::string filename = "halvenor-drill-report-" + report["alert"]["id"].get<std::string>() + ".csv";
  return reply_bytes(200, drill_report_csv(report), "text/csv; charset=utf-8", filename);
}

HttpResponse get_drills(RequestContext& c) { return reply(200, drill_schedules(c.core())); }

// {"action": "schedule", "request", "rule"} or {"action": "cancel", "id"}.
HttpResponse post_drills(RequestContext& c) {
  const Json& action = member_or(c.data, "action", kNull);
  if (action == "schedule") return reply(200, schedule_drill(c.core(), c.actor, c.data));
  if (action != "cancel") throw Invalid("Choose schedule or cancel");
  cancel_drill(c.core(), c.actor, member_or(c.data, "id", kNull));
  return reply(200, drill_schedules(c.core()));
}

HttpResponse post_history_export(RequestContext& c) {
  ExportFile file = export_history(c.core(), c.actor, c.data);
  if (file.content_type == "application/json")
    return reply_bytes(200, json::field_text(file.json_body), file.content_type, file.filename);
  return reply_bytes(200, std::move(file.bytes), file.content_type, file.filename);
}

HttpResponse post_preview(RequestContext& c) {
  Core& core = c.core();
  std::vector<DeliveryTarget> targets = core.validate(c.data, c.actor);
  plan_escalation(core, c.data, targets, c.actor);  // refused now rather than at sending
  ConfigPtr cfg = core.config();
  std::unordered_map<std::string, const Json*> contacts;
  for (const Json& contact : required(cfg->doc(), "contacts"))
    contacts.emplace(required(contact, "id").get<std::string>(), &contact);

  const std::string mode = exactly_true(member_or(c.data, "test", kNull)) ? "exercise" : "live";
  Json previews = Json::array();
  std::set<std::string> seen;  // accounts, as their JSON text so that null is one value
  for (const auto& target : targets) {
    if (target.channel != "whatsapp") continue;
    Json report = core.mobile_routing().report();
    if (!exactly_true(member_or(member_or(report, "whatsapp", kEmptyObject), "network_delivery_enabled", kNull)))
      continue;
    auto contact = contacts.find(target.recipient_id);
    if (contact == contacts.end()) throw MissingKey(target.recipient_id);
    const Json& account = member_or(*contact->second, "account_id", kNull);
    if (!seen.insert(json::field_text(account)).second) continue;
    Json result = core.mobile_routing().preview(*contact->second, c.data.at("title"), c.data.at("body"), mode,
                                        member_or(c.data, "whatsapp_values", kNull));
    Json entry = {{"account", account}};
    for (auto it = result.at("preview").begin(); it != result.at("preview").end(); ++it) entry[it.key()] = *it;
    previews.push_back(std::move(entry));
  }
  Json deliveries = Json::array();
  for (const auto& target : targets) deliveries.push_back(Json::array({target.recipient_id, target.channel}));
  return reply(200, Json{{"deliveries", deliveries},
                         {"whatsapp_previews", previews},
                         {"coverage", desktop_coverage(core, *cfg, targets)}});
}

HttpResponse post_alerts(RequestContext& c) {
  auto key = c.request.header("Idempotency-Key");
  std::optional<std::string> key_text = key ? std::optional<std::string>(std::string(*key)) : std::nullopt;
  std::string id = c.core().create(c.actor, c.data, key_text);
  return reply(201, Json{{"id", id}, {"test", c.data.at("test")}});
}

HttpResponse post_conclude(RequestContext& c) {
  auto confirmation = c.data.find("confirmation");
  std::string id = c.core().conclude(c.actor, id_text(c.data, "id"),
                                     confirmation == c.data.end() ? Json() : *confirmation);
  return reply(200, Json{{"id", id}});
}

HttpResponse post_cancel(RequestContext& c) {
  c.core().cancel(c.actor, id_text(c.data, "id"));
  return reply(200, Json{{"ok", true}});
}

}  // namespace halvenor::http
