#include "companions/mobile/delivery_queue.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "companions/mobile/mobile_acknowledgements.h"
#include "companions/mobile/providers.h"
#include "companions/mobile/whatsapp_template.h"
#include "server/core/core.h"
#include "server/core/digest.h"
#include "server/core/errors.h"

namespace halvenor {
namespace {

// How often the worker looks for due jobs when nobody wakes it.
constexpr auto kIdlePoll = std::chrono::milliseconds(500);

struct SendResult {
  enum Kind { Sent, Retry, Failed } kind;
  std::string reason;
};

}  // namespace

DeliveryQueue::DeliveryQueue(Core& core) : core_(core) {}

DeliveryQueue::~DeliveryQueue() { stop(); }

void DeliveryQueue::create_schema(Connection& conn) {
  conn.exec(R"sql(
CREATE TABLE IF NOT EXISTS mobile_jobs(
  id TEXT PRIMARY KEY, alert_id TEXT NOT NULL, recipient_id TEXT NOT NULL, channel TEXT NOT NULL,
  state TEXT NOT NULL, attempts INTEGER NOT NULL DEFAULT 0, next_at REAL NOT NULL,
  created REAL NOT NULL, updated REAL NOT NULL, reason TEXT, wa_render TEXT,
  provider_reference TEXT);
CREATE UNIQUE INDEX IF NOT EXISTS mobile_jobs_delivery ON mobile_jobs(alert_id, recipient_id, channel);
CREATE INDEX IF NOT EXISTS mobile_jobs_due ON mobile_jobs(state, next_at);
CREATE TABLE IF NOT EXISTS mock_outbox(
  job_id TEXT PRIMARY KEY, channel TEXT NOT NULL, recipient_id TEXT NOT NULL, address TEXT,
  text TEXT NOT NULL, at REAL NOT NULL);
)sql");
}

void DeliveryQueue::start(bool paused) {
  paused_ = paused;
  if (worker_.joinable()) return;
  {
    // A job that was being sent when the process died is retried; the
    // provider sees the same idempotency key, so it cannot go out twice.
    DbScope scope = core_.db();
    scope.begin_immediate();
    scope->execute("UPDATE mobile_jobs SET state='queued' WHERE state='sending'");
    scope.commit();
  }
  stopping_ = false;
  worker_ = std::thread([this] { run(); });
}

void DeliveryQueue::stop() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard lock(wake_mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void DeliveryQueue::run() {
  while (!stopping_) {
    if (!paused_) {
      try {
        process_due(core_.clock().now());
      } catch (const std::exception&) {
        // A busy or failing database must not end the worker; the jobs stay
        // queued and the next round tries again.
      }
    }
    std::unique_lock lock(wake_mutex_);
    wake_.wait_for(lock, kIdlePoll, [this] { return stopping_.load(); });
  }
}

void DeliveryQueue::enqueue(Connection& conn, const std::string& alert_id, const std::string& recipient_id,
                            const std::string& channel, double now) {
  conn.execute(
      "INSERT INTO mobile_jobs(id,alert_id,recipient_id,channel,state,attempts,next_at,created,updated)"
      " VALUES(?,?,?,?,'queued',0,?,?,?)",
      {uuid4(core_.random()), alert_id, recipient_id, channel, now, now, now});
}

void DeliveryQueue::cancel(Connection& conn, const std::string& alert_id, double now) {
  conn.execute(
      "UPDATE mobile_jobs SET state='cancelled',updated=?,reason='Alert cancelled before sending' "
      "WHERE alert_id=? AND state IN ('queued','sending')",
      {now, alert_id});
}

Json DeliveryQueue::summary(Connection& conn) {
  double now = core_.clock().now();
  Json counts = Json::object();
  for (const Json& row :
       conn.query("SELECT channel,state,COUNT(*) AS n FROM mobile_jobs GROUP BY channel,state ORDER BY channel,state")) {
    counts[row["channel"].get<std::string>()][row["state"].get<std::string>()] = row["n"];
  }
  auto oldest = conn.query_one("SELECT MIN(next_at) AS due FROM mobile_jobs WHERE state='queued' AND next_at<=?",
                               {now});
  Json oldest_age = nullptr;
  if (oldest && !(*oldest)["due"].is_null()) oldest_age = std::max(0.0, now - (*oldest)["due"].get<double>());
  return Json{{"paused", paused_.load()}, {"counts", counts}, {"oldest_due_seconds", oldest_age}};
}

int DeliveryQueue::process_due(double now) {
  std::vector<Json> due;
  {
    DbScope scope = core_.db();
    due = scope->query(
        "SELECT j.*, a.title, a.body, a.is_test, a.cancelled, a.expires, a.whatsapp_values, a.conclusion_of "
        "FROM mobile_jobs j JOIN alerts a ON a.id=j.alert_id "
        "WHERE j.state='queued' AND j.next_at<=? ORDER BY j.next_at LIMIT ?",
        {now, kJobsPerBatch});
  }
  for (const Json& job : due) {
    if (stopping_) break;
    attempt(job, now);
  }
  return static_cast<int>(due.size());
}

void DeliveryQueue::attempt(const Json& job, double now) {
  const std::string id = job["id"].get<std::string>();
  const std::string channel = job["channel"].get<std::string>();
  const std::string recipient = job["recipient_id"].get<std::string>();
  const bool live = job["is_test"].get<std::int64_t>() == 0;
  const std::string mode = !job["conclusion_of"].is_null() ? "standdown" : live ? "live" : "exercise";
  ConfigPtr cfg = core_.config();

  Json contact = Json::object();
  for (const Json& c : member_or(cfg->doc(), "contacts", kEmptyArray))
    if (member_or(c, "id", kNull) == recipient) contact = c;

  DbScope scope = core_.db();
  scope.begin_immediate();
  // Re-read under the write lock: a cancellation may have landed since the batch was read.
  auto current = scope->query_one("SELECT state FROM mobile_jobs WHERE id=?", {id});
  if (!current || (*current)["state"] != "queued") return;

  const ProviderSpec& provider = core_.mobile_providers().for_channel(channel);
  SendResult result{SendResult::Failed, ""};
  Json wa_render = nullptr;
  std::string text;
  try {
    Json values = json::parse_text(job["whatsapp_values"].get<std::string>());
    Json rendered = render_whatsapp(job["title"], job["body"], mode, channel == "whatsapp" ? values : Json());
    text = rendered["text"].get<std::string>();
    if (channel == "whatsapp") wa_render = Json{{"preview", rendered}};
  } catch (const std::exception& e) {
    result = {SendResult::Failed, std::string("Message could not be rendered: ") + e.what()};
  }
  if (result.reason.empty()) {
    if (member_or(cfg->doc(), "provider", kNull) == "disabled" || provider.driver == "disabled") {
      result = {SendResult::Failed, "No provider is enabled for " + channel};
    } else if (contact.empty() || !truthy(member_or(contact, "enabled", kTrue))) {
      result = {SendResult::Failed, "Contact is no longer in the directory"};
    } else if (provider.driver == "mock") {
      if (live) {
        result = {SendResult::Failed, "The exercise-only provider never carries live traffic"};
      } else {
        std::string link = core_.acknowledgements().issue(scope.conn(), job["alert_id"].get<std::string>(),
                                                          recipient, channel, job["expires"].get<double>());
        if (!link.empty()) text += "\nAcknowledge: " + link;
        scope->execute("INSERT OR IGNORE INTO mock_outbox(job_id,channel,recipient_id,address,text,at) "
                       "VALUES(?,?,?,?,?,?)",
                       {id, channel, recipient, member_or(contact, "phone", kNull), text, now});
        result = {SendResult::Sent, ""};
      }
    } else {
      result = {SendResult::Failed, "Provider driver " + provider.driver + " cannot send"};
    }
  }

  int attempts = static_cast<int>(job["attempts"].get<std::int64_t>()) + 1;
  std::string wa_text = wa_render.is_null() ? std::string() : json::field_text(wa_render);
  Json wa_value = wa_render.is_null() ? Json(nullptr) : Json(wa_text);
  if (result.kind == SendResult::Retry && attempts < kMaxSendAttempts) {
    double delay = std::min(kMaxRetrySeconds, kFirstRetrySeconds * std::pow(2.0, attempts - 1));
    scope->execute("UPDATE mobile_jobs SET state='queued',attempts=?,next_at=?,updated=?,reason=?,wa_render=? WHERE id=?",
                   {attempts, now + delay, now, result.reason, wa_value, id});
  } else {
    std::string state = result.kind == SendResult::Sent ? "sent" : "failed";
    scope->execute("UPDATE mobile_jobs SET state=?,attempts=?,updated=?,reason=?,wa_render=? WHERE id=?",
                   {state, attempts, now, result.reason.empty() ? Json(nullptr) : Json(result.reason), wa_value, id});
    core_.audit(scope.conn(), std::nullopt, state == "sent" ? "mobile.sent" : "mobile.failed",
                Json{{"job_id", id}, {"alert_id", job["alert_id"]}, {"recipient_id", recipient},
                     {"channel", channel}, {"attempts", attempts},
                     {"reason", result.reason.empty() ? Json(nullptr) : Json(result.reason)}});
  }
  scope.commit();
}

}  // namespace halvenor
