#include "server/core/core.h"

#include <stdexcept>

#include "base/errors.h"
#include "base/text.h"
#include "server/core/audit_chain.h"
#include "server/core/escalation.h"

namespace halvenor {
namespace {

// The base tables as first released; later columns are added by migrate() so
// that fresh and upgraded databases end with the same layout.
constexpr const char* kSchemaScript = R"sql(
PRAGMA journal_mode=WAL;
CREATE TABLE IF NOT EXISTS alerts(
  id TEXT PRIMARY KEY, created REAL, expires REAL, author TEXT, title TEXT, body TEXT,
  severity TEXT, channels TEXT, targets TEXT, cancelled INTEGER DEFAULT 0,
  request_key TEXT UNIQUE, request_hash TEXT);
CREATE TABLE IF NOT EXISTS deliveries(
  alert_id TEXT, recipient_id TEXT, channel TEXT, status TEXT,
  received REAL, displayed REAL, acknowledged REAL,
  PRIMARY KEY(alert_id, recipient_id, channel));
CREATE TABLE IF NOT EXISTS heartbeats(device_id TEXT PRIMARY KEY, seen REAL);
CREATE TABLE IF NOT EXISTS audit(
  seq INTEGER PRIMARY KEY AUTOINCREMENT, at REAL, actor TEXT, event TEXT, detail TEXT,
  previous TEXT, hash TEXT);
)sql";

const Json kOperational = "operational";

bool has(const std::vector<std::string>& names, const char* name) {
  for (const auto& n : names)
    if (n == name) return true;
  return false;
}

}  // namespace

Core::Core(Json config, std::string database, CoreOptions options)
    : database_(std::move(database)),
      clock_(options.clock ? options.clock : system_clock()),
      random_(options.random ? options.random : system_random()) {
  config_.store(std::make_shared<const ConfigSnapshot>(config));
  const Json& doc = config;

  live_enabled_ = check_policy(doc);
  deployment_scope_ = member_or(member_or(doc, "live_desktop", kEmptyObject), "deployment_scope", kOperational)
                          .get<std::string>();

  migrate();
}

Core::~Core() {
  try {
    flush_heartbeats();
  } catch (...) {  // a failing database at shutdown: the next polls restore them
  }
}

void Core::connect_mobile(MobileRouting& routing, MobileJobs& jobs) {
  mobile_routing_ = &routing;
  mobile_jobs_ = &jobs;
}

void Core::connect_sign_in(SignInSessions& sessions) { sign_in_ = &sessions; }

MobileRouting& Core::mobile_routing() const {
  if (!mobile_routing_) throw std::logic_error("the SMS and WhatsApp side is not connected to the core");
  return *mobile_routing_;
}

MobileJobs& Core::mobile_jobs() const {
  if (!mobile_jobs_) throw std::logic_error("the SMS and WhatsApp side is not connected to the core");
  return *mobile_jobs_;
}

void Core::migrate() {
  DbScope scope(database_);
  Connection& conn = scope.conn();
  conn.exec(kSchemaScript);
  scope.begin_immediate();
  if (!has(conn.column_names("alerts"), "whatsapp_values"))
    conn.exec("ALTER TABLE alerts ADD COLUMN whatsapp_values TEXT NOT NULL DEFAULT '{}'");
  if (!has(conn.column_names("alerts"), "is_test"))
    conn.exec("ALTER TABLE alerts ADD COLUMN is_test INTEGER NOT NULL DEFAULT 1");
  if (!has(conn.column_names("alerts"), "deployment_scope")) {
    conn.exec("ALTER TABLE alerts ADD COLUMN deployment_scope TEXT NOT NULL DEFAULT 'exercise'");
    conn.exec("UPDATE alerts SET deployment_scope='unspecified' WHERE is_test=0");
  }
  if (!has(conn.column_names("alerts"), "conclusion_of"))
    conn.exec("ALTER TABLE alerts ADD COLUMN conclusion_of TEXT");
  conn.exec(
      "CREATE UNIQUE INDEX IF NOT EXISTS one_incident_conclusion ON alerts(conclusion_of) "
      "WHERE conclusion_of IS NOT NULL");
  conn.exec(
      "CREATE TABLE IF NOT EXISTS agent_capabilities(device_id TEXT PRIMARY KEY, "
      "live_capable INTEGER NOT NULL, seen REAL NOT NULL)");
  if (!has(conn.column_names("agent_capabilities"), "protocol"))
    conn.exec("ALTER TABLE agent_capabilities ADD COLUMN protocol TEXT NOT NULL DEFAULT 'live-desktop-v1'");
  // Indexes that keep the hot paths independent of history: polls walk the
  // unexpired alerts; the snapshot and stand-down read deliveries per alert.
  conn.exec("CREATE INDEX IF NOT EXISTS alerts_by_expiry ON alerts(expires)");
  conn.exec("CREATE INDEX IF NOT EXISTS alerts_by_created ON alerts(created)");
  create_escalation_schema(conn);
  // A poll looks up its computer's pending desktop delivery of each unexpired
  // alert; this index holds exactly those rows, a computer's side by side, so
  // the look-ups read a few pages instead of one delivery page per alert.
  conn.exec(
      "CREATE INDEX IF NOT EXISTS deliveries_awaiting_desktop ON deliveries(recipient_id,channel,alert_id,displayed,"
      "acknowledged) WHERE channel='desktop' AND acknowledged IS NULL");
  // SMS and WhatsApp jobs are written with their alert, in its transaction,
  // and the dashboard shows their state beside each delivery; the mobile
  // feature's worker sends them.
  conn.exec(R"sql(
CREATE TABLE IF NOT EXISTS mobile_jobs(
  id TEXT PRIMARY KEY, alert_id TEXT NOT NULL, recipient_id TEXT NOT NULL, channel TEXT NOT NULL,
  state TEXT NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, next_at REAL NOT NULL,
  created REAL NOT NULL, updated REAL NOT NULL, reason TEXT, wa_render TEXT,
  provider_reference TEXT);
CREATE UNIQUE INDEX IF NOT EXISTS mobile_jobs_delivery ON mobile_jobs(alert_id, recipient_id, channel);
CREATE INDEX IF NOT EXISTS mobile_jobs_due ON mobile_jobs(state, next_at);
)sql");
  if (!has(conn.column_names("mobile_jobs"), "account_id")) conn.exec("ALTER TABLE mobile_jobs ADD COLUMN account_id TEXT");
  // The dashboard counts the jobs by channel and state on every snapshot;
  // from this index instead of the job rows with their renderings.
  conn.exec("CREATE INDEX IF NOT EXISTS mobile_jobs_by_channel_state ON mobile_jobs(channel,state)");
  scope.commit();
}

bool Core::check_policy(const Json& doc) {
  const Json& mode = member_or(doc, "mode", kNull);
  const Json& provider = member_or(doc, "provider", kNull);
  if (!(mode == "test" || mode == "controlled_live") || !(provider == "mock" || provider == "disabled"))
    throw Invalid("Supported core mode and mobile transport policy required");
  return live_policy(doc);
}

bool Core::live_policy(const Json& doc) {
  const Json& mode = member_or(doc, "mode", kNull);
  const Json& policy = member_or(doc, "live_desktop", kEmptyObject);
  if (!policy.is_object()) throw Invalid("Invalid live desktop policy");
  const Json& enabled = member_or(policy, "enabled", kFalse);
  if (!enabled.is_boolean()) throw Invalid("Invalid live desktop policy");
  const Json& scope = member_or(policy, "deployment_scope", kOperational);
  if (!(scope == "operational" || scope == "home_lab")) throw Invalid("Unknown deployment scope");
  if (enabled.get<bool>()) {
    if (mode != "controlled_live") throw Invalid("Live desktop needs controlled_live mode");
    if (scope == "operational" && !exactly_true(member_or(policy, "enabled_by_default", kNull))) {
      const Json& reference = member_or(policy, "assurance_reference", kNull);
      bool referenced = reference.is_string() && !trim(reference.get<std::string>()).empty();
      if (!exactly_true(member_or(policy, "assurance_completed", kNull)) || !referenced)
        throw Invalid("Operational live desktop requires assurance completion/reference");
    }
  }
  return enabled.get<bool>();
}

void Core::replace_config(Json document) {
  // Every document published here passed live_policy when it was made (at
  // start-up, or by the change that wrote it), so this cannot throw.
  const bool live = live_policy(document);
  config_.store(std::make_shared<const ConfigSnapshot>(std::move(document)));
  live_enabled_.store(live);
}

void Core::audit(Connection& conn, const std::optional<std::string>& actor, const std::string& event,
                 const Json& detail) {
  auto head = conn.query_one("SELECT hash FROM audit ORDER BY seq DESC LIMIT 1");
  std::string previous = head ? head->at("hash").get<std::string>() : std::string();
  double at = clock_->now();
  std::string detail_text = json::canonical(detail);
  Json actor_value = actor ? Json(*actor) : Json(nullptr);
  std::string hash = audit_row_hash(at, actor_value, event, detail_text, previous);
  conn.execute("INSERT INTO audit(at,actor,event,detail,previous,hash) VALUES(?,?,?,?,?,?)",
               {at, actor_value, event, detail_text, previous, hash});
}

}  // namespace halvenor
