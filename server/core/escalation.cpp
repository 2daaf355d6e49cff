#include "server/core/escalation.h"

#include <algorithm>
#include <cstdint>
#include <set>

#include "base/errors.h"

namespace halvenor {
namespace {

constexpr double kSecondsPerMinute = 60.0;

std::optional<std::int64_t> whole_number(const Json& value, std::int64_t low, std::int64_t high) {
  if (!value.is_number_integer()) return std::nullopt;
  const auto n = value.get<std::int64_t>();
  if (n < low || n > high) return std::nullopt;
  return n;
}

}  // namespace

// A table of its own: the alerts table keeps the layout that exports and
// older tools read.
void create_escalation_schema(Connection& conn) {
  conn.exec(
      "CREATE TABLE IF NOT EXISTS alert_escalations(alert_id TEXT PRIMARY KEY, plan TEXT NOT NULL, "
      "due REAL NOT NULL, state TEXT NOT NULL)");
  // The service looks for due escalations twice a second: only pending ones
  // are in this index, so the look-up costs nothing however long the history.
  conn.exec("CREATE INDEX IF NOT EXISTS escalations_pending ON alert_escalations(due) WHERE state='pending'");
}

std::optional<EscalationPlan> plan_escalation(Core& core, const Json& data, const std::vector<DeliveryTarget>& targets,
                                              const std::string& actor) {
  const Json& escalation = member_or(data, "escalation", kNull);
  if (escalation.is_null()) return std::nullopt;
  if (!escalation.is_object()) throw Invalid("Escalation must be an object");
  if (!whole_number(member_or(escalation, "after_minutes", kNull), 1, 60))
    throw Invalid("Escalation: wait 1–60 minutes before escalating");
  if (!whole_number(member_or(escalation, "min_acknowledged_percent", kNull), 1, 100))
    throw Invalid("Escalation: the acknowledged share must be 1–100 percent");
  const Json& channels = member_or(escalation, "channels", kNull);
  if (!channels.is_array() || channels.empty() ||
      !std::all_of(channels.begin(), channels.end(), [](const Json& c) { return c == "sms" || c == "whatsapp"; }))
    throw Invalid("Escalation: choose sms and/or whatsapp");
  const Json& groups = member_or(escalation, "groups", kNull);
  if (!groups.is_array() || groups.empty() ||
      !std::all_of(groups.begin(), groups.end(), [](const Json& g) { return g.is_string(); }))
    throw Invalid("Escalation: choose at least one group");
  if (std::none_of(targets.begin(), targets.end(), [](const DeliveryTarget& t) { return t.channel == "desktop"; }))
    throw Invalid("Escalation needs desktop recipients whose acknowledgements it can count");

  // The escalation message is the alert itself on other channels: checked
  // by the very rules that would apply to sending it that way now.
  Json request = data;
  request.erase("escalation");
  request["channels"] = channels;
  request["groups"] = groups;
  request["sites"] = core.sites();
  request["departments"] = Json::array();
  if (std::find(channels.begin(), channels.end(), Json("whatsapp")) == channels.end()) {
    request.erase("whatsapp_values");
  }
  EscalationPlan plan{escalation, core.validate(request, actor)};
  return plan;
}

void store_escalation(Connection& conn, const std::string& alert_id, const EscalationPlan& plan, double now) {
  Json stored = plan.request;
  Json targets = Json::array();
  for (const DeliveryTarget& t : plan.targets) targets.push_back(Json::array({t.recipient_id, t.channel}));
  stored["targets"] = std::move(targets);
  const double due = now + static_cast<double>(plan.request.at("after_minutes").get<std::int64_t>()) * kSecondsPerMinute;
  conn.execute("INSERT INTO alert_escalations(alert_id,plan,due,state) VALUES(?,?,?,'pending')",
               {alert_id, json::field_text(stored), due});
}

int run_due_escalations(Core& core) {
  const double now = core.clock().now();
  std::vector<Json> due;
  {
    DbScope scope = core.db();
    due = scope.conn().query(
        "SELECT alert_id FROM alert_escalations INDEXED BY escalations_pending WHERE state='pending' AND due<=?",
        {now});
  }
  int decided = 0;
  for (const Json& row : due) {
    DbScope scope = core.db();
    Connection& conn = scope.conn();
    scope.begin_immediate();
    auto alert = conn.query_one(
        "SELECT a.id,a.cancelled,a.expires,a.is_test,e.plan FROM alerts a JOIN alert_escalations e "
        "ON e.alert_id=a.id WHERE a.id=? AND e.state='pending'",
        {row["alert_id"]});
    if (!alert) continue;  // decided meanwhile
    const std::string id = (*alert)["id"].get<std::string>();
    const Json plan = json::parse_text((*alert)["plan"].get<std::string>());
    auto counts = conn.query_one(
        "SELECT COUNT(*) AS total, COUNT(acknowledged) AS acknowledged FROM deliveries "
        "WHERE alert_id=? AND channel='desktop'",
        {id});
    const auto total = (*counts)["total"].get<std::int64_t>();
    const auto acknowledged = (*counts)["acknowledged"].get<std::int64_t>();
    const auto wanted = plan.at("min_acknowledged_percent").get<std::int64_t>();
    const bool short_of_target = acknowledged * 100 < wanted * total;

    std::string state = "sent";
    if (truthy((*alert)["cancelled"])) state = "cancelled";
    else if ((*alert)["expires"].get<double>() <= now) state = "expired";
    else if (!short_of_target) state = "not_needed";
    int sent = 0;
    if (state == "sent") {
      for (const Json& target : plan.at("targets")) {
        const std::string recipient = target[0].get<std::string>();
        const std::string channel = target[1].get<std::string>();
        // A contact the alert already reached on this channel is not sent it twice.
        if (conn.query_one("SELECT 1 FROM deliveries WHERE alert_id=? AND recipient_id=? AND channel=?",
                           {id, recipient, channel}))
          continue;
        conn.execute("INSERT INTO deliveries(alert_id,recipient_id,channel,status) VALUES(?,?,?,'queued')",
                     {id, recipient, channel});
        core.mobile_jobs().enqueue(conn, id, recipient, channel, now);
        ++sent;
      }
    }
    conn.execute("UPDATE alert_escalations SET state=? WHERE alert_id=?", {state, id});
    core.audit(conn, std::nullopt, "alert.escalation." + state,
               Json{{"alert_id", id},
                    {"is_test", (*alert)["is_test"] != 0},
                    {"desktop_deliveries", total},
                    {"acknowledged", acknowledged},
                    {"min_acknowledged_percent", wanted},
                    {"mobile_deliveries", sent}});
    scope.commit();
    ++decided;
  }
  return decided;
}

void describe_escalation(Connection& conn, Json& alert) {
  auto row = conn.query_one("SELECT plan,due,state FROM alert_escalations WHERE alert_id=?", {alert["id"]});
  if (!row) return;
  Json stored = json::parse_text((*row)["plan"].get<std::string>());
  Json shown = Json::object();
  for (const char* key : {"after_minutes", "min_acknowledged_percent", "channels", "groups"}) shown[key] = stored[key];
  shown["at"] = (*row)["due"];
  shown["state"] = (*row)["state"];
  alert["escalation"] = std::move(shown);
}

}  // namespace halvenor
