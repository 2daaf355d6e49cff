// Cancellation of alerts and stand-down of live incidents.
#include <unordered_map>

#include "base/digest.h"
#include "base/errors.h"
#include "server/core/core.h"
#include "server/core/directory_views.h"

namespace halvenor {
namespace {

constexpr double kStandDownSeconds = 1800.0;

}  // namespace

void Core::cancel(const std::string& actor, const std::string& aid) {
  DbScope scope = db();
  Connection& conn = scope.conn();
  scope.begin_immediate();
  auto row = conn.query_one("SELECT cancelled,is_test,deployment_scope FROM alerts WHERE id=?", {aid});
  if (!row) throw Invalid("Unknown alert");
  const Json& alert = *row;
  if (alert["is_test"] == 0 && !can_send_live(actor)) throw Invalid("Live cancellation requires live-send permission");
  if (truthy(alert["cancelled"])) return;
  conn.execute("UPDATE alerts SET cancelled=1 WHERE id=?", {aid});
  conn.execute("UPDATE alert_escalations SET state='cancelled' WHERE alert_id=? AND state='pending'", {aid});
  mobile_jobs().cancel(conn, aid, clock_->now());
  audit(conn, actor, "alert.cancelled",
        Json{{"alert_id", aid}, {"is_test", alert["is_test"] != 0}, {"deployment_scope", alert["deployment_scope"]}});
  scope.commit();
}

std::string Core::conclude(const std::string& actor, const std::string& incident_id, const Json& confirmation) {
  if (!live_enabled_ || !can_send_live(actor))
    throw Invalid("Incident conclusion requires live-send permission and live desktop enabled");
  if (confirmation != "CONCLUDE INCIDENT") throw Invalid("Confirm the incident stand-down");
  ConfigPtr cfg = config();
  const Json& doc = cfg->doc();

  DbScope scope = db();
  Connection& conn = scope.conn();
  scope.begin_immediate();
  auto found = conn.query_one("SELECT * FROM alerts WHERE id=?", {incident_id});
  if (!found || (*found)["is_test"] != 0 || !(*found)["conclusion_of"].is_null())
    throw Invalid("Choose an original live incident");
  const Json& incident = *found;
  if (auto existing = conn.query_one("SELECT id FROM alerts WHERE conclusion_of=?", {incident_id}))
    return (*existing)["id"].get<std::string>();

  std::vector<Json> deliveries = conn.query("SELECT recipient_id,channel FROM deliveries WHERE alert_id=?", {incident_id});
  if (deliveries.empty()) throw Invalid("This incident has no recipients");

  // The entry that passed can_send_live above holds the channel permissions.
  const auto user = find_user(required(doc, "users"), actor);
  std::unordered_map<std::string, const Json*> contacts;
  for (const Json& c : required(doc, "contacts")) {
    const Json& id = member_or(c, "id", kNull);
    if (id.is_string()) contacts.emplace(id.get<std::string>(), &c);
  }

  const std::string title = incident["title"].get<std::string>();
  const std::string body = title + " - Incident concluded - resume normal business operations";
  const std::string values_text = incident["whatsapp_values"].get<std::string>();
  Json values = json::parse_text(values_text);
  for (const Json& delivery : deliveries) {
    const std::string channel = delivery["channel"].get<std::string>();
    if (channel == "desktop") continue;
    auto it = contacts.find(delivery["recipient_id"].get<std::string>());
    const Json& contact = it == contacts.end() ? kEmptyObject : *it->second;
    if (!mobile_routing().route(contact, channel, true))
      throw Invalid("Restore the original mobile provider route before sending this stand-down.");
    if (!user || !user->granted(("can_send_" + channel).c_str()))
      throw Invalid("Stand-down requires permission for every original channel.");
    if (channel == "whatsapp") mobile_routing().preview(contact, title, body, "standdown", values);
  }

  const std::string id = uuid4(*random_);
  const double now = clock_->now();
  conn.execute(
      "INSERT INTO alerts(id,created,expires,author,title,body,severity,channels,targets,request_key,request_hash,"
      "is_test,deployment_scope,conclusion_of) VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?)",
      {id, now, now + kStandDownSeconds, actor, title, body, "ticker", incident["channels"], incident["targets"],
       "conclude:" + incident_id, sha256_hex(incident_id), 0, incident["deployment_scope"], incident_id});
  conn.execute("UPDATE alerts SET whatsapp_values=? WHERE id=?", {values_text, id});
  for (const Json& delivery : deliveries) {
    bool desktop = delivery["channel"] == "desktop";
    conn.execute("INSERT INTO deliveries(alert_id,recipient_id,channel,status) VALUES(?,?,?,?)",
                 {id, delivery["recipient_id"], delivery["channel"], desktop ? "pending" : "queued"});
    if (!desktop)
      mobile_jobs().enqueue(conn, id, delivery["recipient_id"].get<std::string>(), delivery["channel"].get<std::string>(), now);
  }
  conn.execute("UPDATE alerts SET cancelled=1 WHERE id=?", {incident_id});
  mobile_jobs().cancel(conn, incident_id, now);
  audit(conn, actor, "incident.concluded",
        Json{{"incident_id", incident_id},
             {"conclusion_alert_id", id},
             {"recipients", deliveries.size()},
             {"deployment_scope", incident["deployment_scope"]}});
  scope.commit();
  return id;
}

}  // namespace halvenor
