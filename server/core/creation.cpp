// Alert creation: one alert, its deliveries, mobile jobs and audit event in
// one transaction, exactly once per idempotency key.
#include "base/digest.h"
#include "base/errors.h"
#include "base/text.h"
#include "server/core/core.h"
#include "server/core/escalation.h"
#include "server/core/whatsapp_template.h"

namespace halvenor {
namespace {

constexpr std::size_t kMinKeyLength = 8;
constexpr std::size_t kMaxKeyLength = 100;
constexpr double kSecondsPerMinute = 60.0;

}  // namespace

std::string Core::create(const std::string& actor, const Json& data, const std::optional<std::string>& key) {
  std::vector<DeliveryTarget> targets = validate(data, actor);
  const bool test = data.at("test").get<bool>();
  if (!test && member_or(data, "live_confirmation", kNull) != "SEND LIVE ALERT")
    throw Invalid("Type SEND LIVE ALERT to confirm a real incident");
  // The key is stored with the alert and travels in every poll reply of its
  // computers, so it must be text that every reply can carry.
  if (key && !is_utf8(*key)) throw RequestError("Idempotency-Key is not UTF-8");
  if (!key || code_points(*key) < kMinKeyLength || code_points(*key) > kMaxKeyLength)
    throw Invalid("An Idempotency-Key of 8–100 characters is required");

  const std::optional<EscalationPlan> escalation = plan_escalation(*this, data, targets, actor);

  const std::string request_hash = sha256_hex(json::hash_form(data));
  // Everything derived from the request is computed before the write lock.
  Json targets_object = {{"sites", member_or(data, "sites", kEmptyArray)},
                         {"departments", member_or(data, "departments", kEmptyArray)},
                         {"groups", member_or(data, "groups", kEmptyArray)}};
  const std::string channels_text = json::field_text(data.at("channels"));
  const std::string targets_text = json::field_text(targets_object);
  const std::string values_text = json::field_text(clean_values(member_or(data, "whatsapp_values", kNull)));
  const std::string scope_name = test ? "exercise" : deployment_scope_;
  ConfigPtr cfg = config();

  DbScope scope = db();
  Connection& conn = scope.conn();
  scope.begin_immediate();
  if (auto existing = conn.query_one("SELECT id,request_hash,author FROM alerts WHERE request_key=?", {*key})) {
    if ((*existing)["request_hash"] != request_hash || (*existing)["author"] != actor)
      throw Invalid("Idempotency key already used for a different request");
    return (*existing)["id"].get<std::string>();
  }

  const std::string id = uuid4(*random_);
  const double now = clock_->now();
  const double expires = now + static_cast<double>(data.at("ttl_minutes").get<std::int64_t>()) * kSecondsPerMinute;
  conn.execute(
      "INSERT INTO alerts(id,created,expires,author,title,body,severity,channels,targets,request_key,request_hash) "
      "VALUES(?,?,?,?,?,?,?,?,?,?,?)",
      {id, now, expires, actor, trim(data.at("title").get<std::string>()), trim(data.at("body").get<std::string>()),
       data.at("severity"), channels_text, targets_text, *key, request_hash});
  conn.execute("UPDATE alerts SET is_test=?,deployment_scope=?,whatsapp_values=? WHERE id=?",
               {test ? 1 : 0, scope_name, values_text, id});
  for (const auto& target : targets) {
    bool desktop = target.channel == "desktop";
    conn.execute("INSERT INTO deliveries(alert_id,recipient_id,channel,status) VALUES(?,?,?,?)",
                 {id, target.recipient_id, target.channel, desktop ? "pending" : "queued"});
    if (!desktop) mobile_jobs().enqueue(conn, id, target.recipient_id, target.channel, now);
  }
  if (escalation) store_escalation(conn, id, *escalation, now);

  Json assurance = nullptr;
  if (scope_name == "operational")
    assurance = member_or(member_or(cfg->doc(), "live_desktop", kEmptyObject), "assurance_reference", kNull);
  Json detail{{"alert_id", id},
              {"is_test", test},
              {"targets", targets_object},
              {"deliveries", targets.size()},
              {"deployment_scope", scope_name},
              {"incident_reference", test ? Json(nullptr) : member_or(data, "incident_reference", kNull)},
              {"assurance_reference", assurance}};
  if (escalation) detail["escalation"] = escalation->request;
  audit(conn, actor, test ? "alert.created.test" : "alert.created.live", detail);
  scope.commit();
  return id;
}

}  // namespace halvenor
