#include "companions/mobile/delivery_queue.h"

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <unordered_map>

#include "base/digest.h"
#include "base/errors.h"
#include "companions/mobile/mobile_acknowledgements.h"
#include "companions/mobile/mock_transport.h"
#include "companions/mobile/provider_accounts.h"
#include "companions/mobile/provider_transport.h"
#include "companions/mobile/providers.h"
#include "companions/mobile/retry_policy.h"
#include "server/core/contact_directory.h"
#include "server/core/core.h"
#include "server/core/whatsapp_template.h"

namespace halvenor {
namespace {

// How often the worker looks for due jobs when nobody wakes it; retries
// become due while it sleeps.
constexpr auto kIdlePoll = std::chrono::milliseconds(500);

constexpr const char* kCancelledReason = "Alert cancelled before sending.";

std::string mode_of(const Json& alert_row) {
  if (!alert_row["conclusion_of"].is_null()) return "standdown";
  return alert_row["is_test"] == 0 ? "live" : "exercise";
}

Json reason_value(const std::string& reason) { return reason.empty() ? Json(nullptr) : Json(reason); }

void mirror_delivery(Connection& conn, const Json& job, const char* status) {
  conn.execute("UPDATE deliveries SET status=? WHERE alert_id=? AND recipient_id=? AND channel=?",
               {status, job["alert_id"], job["recipient_id"], job["channel"]});
}

}  // namespace

struct DeliveryQueue::ClaimedJob {
  enum Progress { NotAttempted, Skipped, Done };
  Json row;  // id, alert_id, recipient_id, channel, attempts, is_test, expires
  std::string account_id;
  OutgoingMessage message;
  SendOutcome outcome;
  Progress progress = NotAttempted;
};

DeliveryQueue::DeliveryQueue(Core& core, MobileAcknowledgements& acknowledgements)
    : core_(core), acknowledgements_(acknowledgements) {
  DbScope scope = core_.db();
  scope.begin_immediate();
  create_schema(scope.conn());
  scope.commit();
}

DeliveryQueue::~DeliveryQueue() { stop(); }

void DeliveryQueue::create_schema(Connection& conn) {
  MockTransport::create_schema(conn);
  create_account_schema(conn);
}

void DeliveryQueue::start(bool paused) {
  paused_ = paused;
  if (worker_.joinable()) return;
  recover_interrupted();
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

int DeliveryQueue::recover_interrupted() {
  DbScope scope = core_.db();
  scope.begin_immediate();
  int n = scope->execute("UPDATE mobile_jobs SET state='queued' WHERE state='sending'");
  scope.commit();
  return n;
}

void DeliveryQueue::wake() {
  {
    std::lock_guard lock(wake_mutex_);
    wake_pending_ = true;
  }
  wake_.notify_one();
}

void DeliveryQueue::run() {
  while (!stopping_) {
    int taken = 0;
    try {
      taken = process_due(core_.clock().now());
    } catch (const std::exception&) {
      // A busy or failing database must not end the worker: the jobs stay
      // where they are and the next round tries again.
    }
    if (taken >= kJobsPerBatch) continue;  // more may be due at once
    std::unique_lock lock(wake_mutex_);
    wake_.wait_for(lock, kIdlePoll, [this] { return stopping_.load() || wake_pending_; });
    wake_pending_ = false;
  }
}

void DeliveryQueue::enqueue(Connection& conn, const std::string& alert_id, const std::string& recipient_id,
                            const std::string& channel, double now) {
  Json wa_render = nullptr;
  if (channel == "whatsapp") {
    // Rendered now so the dashboard shows the WhatsApp text from the start;
    // validation has already proved that it renders.
    auto alert = conn.query_one("SELECT title,body,is_test,whatsapp_values,conclusion_of FROM alerts WHERE id=?",
                                {alert_id});
    if (alert) {
      Json values = json::parse_text((*alert)["whatsapp_values"].get<std::string>());
      wa_render = json::field_text(
          Json{{"preview", render_whatsapp((*alert)["title"], (*alert)["body"], mode_of(*alert), values)}});
    }
  }
  conn.execute(
      "INSERT INTO mobile_jobs(id,alert_id,recipient_id,channel,state,attempts,next_at,created,updated,wa_render)"
      " VALUES(?,?,?,?,'queued',0,?,?,?,?)",
      {uuid4(core_.random()), alert_id, recipient_id, channel, now, now, now, wa_render});
  wake();
}

void DeliveryQueue::cancel(Connection& conn, const std::string& alert_id, double now) {
  // "sending" jobs are included: the worker checks again just before each
  // message leaves, so a claimed but unsent job stays unsent.
  conn.execute(
      "UPDATE deliveries SET status='cancelled' WHERE alert_id=? AND channel<>'desktop' AND EXISTS("
      "SELECT 1 FROM mobile_jobs j WHERE j.alert_id=deliveries.alert_id AND j.recipient_id=deliveries.recipient_id "
      "AND j.channel=deliveries.channel AND j.state IN ('queued','sending'))",
      {alert_id});
  conn.execute(
      "UPDATE mobile_jobs SET state='cancelled',updated=?,reason=? WHERE alert_id=? AND state IN ('queued','sending')",
      {now, kCancelledReason, alert_id});
}

Json DeliveryQueue::summary(Connection& conn) {
  double now = core_.clock().now();
  Json counts = Json::object();
  Json totals = Json::object();
  for (const Json& row : conn.query(
           "SELECT channel,state,COUNT(*) AS n FROM mobile_jobs GROUP BY channel,state ORDER BY channel,state")) {
    const std::string state = row["state"].get<std::string>();
    counts[row["channel"].get<std::string>()][state] = row["n"];
    totals[state] = totals.value(state, std::int64_t{0}) + row["n"].get<std::int64_t>();
  }
  auto oldest = conn.query_one("SELECT MIN(next_at) AS due FROM mobile_jobs WHERE state='queued' AND next_at<=?", {now});
  Json oldest_age = nullptr;
  if (oldest && !(*oldest)["due"].is_null()) oldest_age = std::max(0.0, now - (*oldest)["due"].get<double>());
  return Json{{"paused", paused_.load()}, {"counts", counts}, {"totals", totals}, {"oldest_due_seconds", oldest_age}};
}

int DeliveryQueue::process_due(double now) {
  if (paused_) return 0;
  std::lock_guard round(round_mutex_);
  std::vector<ClaimedJob> claimed;
  int taken = claim(now, claimed);
  if (claimed.empty()) return taken;
  send_all(claimed);
  record(claimed, now);
  return taken;
}

int DeliveryQueue::claim(double now, std::vector<ClaimedJob>& claimed) {
  ConfigPtr cfg = core_.config();
  const Json& doc = cfg->doc();
  std::unordered_map<std::string, const Json*> contacts;
  for (const Json& c : member_or(doc, "contacts", kEmptyArray)) {
    const Json& id = member_or(c, "id", kNull);
    if (id.is_string()) contacts.emplace(id.get<std::string>(), &c);
  }
  const bool transport = transport_enabled(doc);

  DbScope scope = core_.db();
  scope.begin_immediate();
  Connection& conn = scope.conn();
  std::vector<Json> due = conn.query(
      "SELECT j.id,j.alert_id,j.recipient_id,j.channel,j.attempts,a.title,a.body,a.is_test,a.cancelled,a.expires,"
      "a.whatsapp_values,a.conclusion_of FROM mobile_jobs j JOIN alerts a ON a.id=j.alert_id "
      "WHERE j.state='queued' AND j.next_at<=? ORDER BY j.next_at,j.rowid LIMIT ?",
      {now, kJobsPerBatch});
  if (due.empty()) return 0;
  std::vector<ProviderAccount> accounts = load_accounts(conn);

  auto give_up = [&](const Json& job, const std::string& reason) {
    conn.execute("UPDATE mobile_jobs SET state='failed',updated=?,reason=? WHERE id=?", {now, reason, job["id"]});
    mirror_delivery(conn, job, "failed");
    core_.audit(conn, std::nullopt, "mobile.failed",
                Json{{"job_id", job["id"]}, {"alert_id", job["alert_id"]}, {"recipient_id", job["recipient_id"]},
                     {"channel", job["channel"]}, {"attempts", job["attempts"]}, {"is_test", job["is_test"] != 0},
                     {"reason", reason}});
  };

  for (const Json& job : due) {
    const std::string channel = job["channel"].get<std::string>();
    const std::string recipient = job["recipient_id"].get<std::string>();
    const bool live = job["is_test"] == 0;
    if (job["cancelled"] != 0) {
      conn.execute("UPDATE mobile_jobs SET state='cancelled',updated=?,reason=? WHERE id=?",
                   {now, kCancelledReason, job["id"]});
      mirror_delivery(conn, job, "cancelled");
      continue;
    }
    if (job["expires"].get<double>() <= now) {
      give_up(job, "The alert expired before the message could be sent.");
      continue;
    }
    if (!transport) {
      give_up(job, "Mobile sending is switched off by the transport policy.");
      continue;
    }
    auto contact = contacts.find(recipient);
    if (contact == contacts.end()) {
      give_up(job, "The contact is no longer in the directory.");
      continue;
    }
    const ProviderAccount* account = account_for(conn, accounts, *contact->second, channel);
    if (account == nullptr) {
      give_up(job, "The contact has no " + channel + " provider account.");
      continue;
    }
    if (!account->may_carry(live)) {
      give_up(job, "Provider account " + account->id + " is not tested and enabled for " +
                       (live ? "live" : "exercise") + " sending.");
      continue;
    }
    std::optional<std::string> phone = contact_phone(*contact->second);
    if (!phone) {
      give_up(job, "The contact has no phone number in international format.");
      continue;
    }
    const std::string mode = mode_of(job);
    Json rendered;
    try {
      Json values = channel == "whatsapp" ? json::parse_text(job["whatsapp_values"].get<std::string>()) : Json();
      rendered = render_whatsapp(job["title"], job["body"], mode, values);
    } catch (const TemplateError& e) {
      give_up(job, std::string("The message could not be rendered: ") + e.what());
      continue;
    }

    ClaimedJob claim;
    claim.row = Json{{"id", job["id"]},           {"alert_id", job["alert_id"]}, {"recipient_id", recipient},
                     {"channel", channel},        {"attempts", job["attempts"]}, {"is_test", job["is_test"]},
                     {"expires", job["expires"]}};
    claim.account_id = account->id;
    OutgoingMessage& m = claim.message;
    m.idempotency_key = job["id"].get<std::string>();
    m.channel = channel;
    m.recipient_id = recipient;
    m.phone = *phone;
    m.link = acknowledgements_.issue(conn, job["alert_id"].get<std::string>(), recipient, channel,
                                            job["expires"].get<double>());
    m.text = rendered["text"].get<std::string>() + "\nAcknowledge: " + m.link;
    m.alert_id = job["alert_id"].get<std::string>();
    m.mode = mode;
    m.template_name = rendered["template"].get<std::string>();
    m.live = live;
    conn.execute("UPDATE mobile_jobs SET state='sending',updated=?,account_id=? WHERE id=?",
                 {now, account->id, job["id"]});
    claimed.push_back(std::move(claim));
  }
  scope.commit();
  return static_cast<int>(due.size());
}

bool DeliveryQueue::still_to_send(const std::string& job_id) {
  DbScope scope = core_.db();
  auto row = scope->query_one(
      "SELECT j.state,a.cancelled FROM mobile_jobs j JOIN alerts a ON a.id=j.alert_id WHERE j.id=?", {job_id});
  return row && (*row)["state"] == "sending" && (*row)["cancelled"] == 0;
}

void DeliveryQueue::send_all(std::vector<ClaimedJob>& jobs) {
  // One transport per account for the round; a transport that cannot be
  // built (its CA file vanished, say) is a passing failure IT can repair.
  std::map<std::string, std::unique_ptr<ProviderTransport>> transports;
  std::map<std::string, std::string> unusable;
  {
    DbScope scope = core_.db();
    for (const ClaimedJob& job : jobs) {
      if (transports.count(job.account_id) || unusable.count(job.account_id)) continue;
      auto account = find_account(scope.conn(), job.account_id);
      try {
        if (!account) throw ConnectorError("Provider account " + job.account_id + " no longer exists.");
        transports[job.account_id] = make_transport(core_, *account);
      } catch (const ConnectorError& e) {
        unusable[job.account_id] = e.what();
      }
    }
  }

  std::atomic<std::size_t> next{0};
  auto sender = [&] {
    while (!stopping_) {
      std::size_t i = next++;
      if (i >= jobs.size()) return;
      ClaimedJob& job = jobs[i];
      try {
        if (!still_to_send(job.row["id"].get<std::string>())) {
          job.progress = ClaimedJob::Skipped;
          continue;
        }
        auto transport = transports.find(job.account_id);
        if (transport == transports.end()) {
          job.outcome = SendOutcome{SendOutcome::Retry, unusable[job.account_id], "", 0, false};
        } else {
          job.outcome = transport->second->send(job.message);
        }
      } catch (const std::exception& e) {
        job.outcome = SendOutcome{SendOutcome::Retry, std::string("Sending failed: ") + e.what(), "", 0, false};
      }
      job.progress = ClaimedJob::Done;
    }
  };
  std::size_t threads = std::min<std::size_t>(kConcurrentSends, jobs.size());
  if (threads <= 1) {
    sender();
    return;
  }
  std::vector<std::thread> pool;
  for (std::size_t t = 0; t < threads; ++t) pool.emplace_back(sender);
  for (auto& thread : pool) thread.join();
}

void DeliveryQueue::record(std::vector<ClaimedJob>& jobs, double now) {
  DbScope scope = core_.db();
  scope.begin_immediate();
  Connection& conn = scope.conn();
  for (ClaimedJob& job : jobs) {
    const Json& row = job.row;
    auto current = conn.query_one("SELECT state FROM mobile_jobs WHERE id=?", {row["id"]});
    const bool sending = current && (*current)["state"] == "sending";
    if (job.progress == ClaimedJob::NotAttempted) {
      // The worker is stopping: the job never left and waits for the next start.
      if (sending) conn.execute("UPDATE mobile_jobs SET state='queued',updated=? WHERE id=?", {now, row["id"]});
      continue;
    }
    if (job.progress == ClaimedJob::Skipped) {
      if (sending) {
        conn.execute("UPDATE mobile_jobs SET state='cancelled',updated=?,reason=? WHERE id=?",
                     {now, kCancelledReason, row["id"]});
        mirror_delivery(conn, row, "cancelled");
      }
      continue;
    }
    const int attempts = static_cast<int>(row["attempts"].get<std::int64_t>()) + 1;
    const SendOutcome& outcome = job.outcome;
    if (outcome.kind == SendOutcome::Sent) {
      // A cancellation that landed while the message was on the wire came too
      // late: the record says what happened.
      std::string reason = sending ? "" : "Sent while the alert was being cancelled.";
      conn.execute("UPDATE mobile_jobs SET state='sent',attempts=?,updated=?,reason=?,provider_reference=? WHERE id=?",
                   {attempts, now, reason_value(reason), reason_value(outcome.provider_reference), row["id"]});
      mirror_delivery(conn, row, "sent");
      core_.audit(conn, std::nullopt, "mobile.sent",
                  Json{{"job_id", row["id"]}, {"alert_id", row["alert_id"]}, {"recipient_id", row["recipient_id"]},
                       {"channel", row["channel"]}, {"attempts", attempts}, {"is_test", row["is_test"] != 0},
                       {"account_id", job.account_id}});
      continue;
    }
    if (!sending) {
      conn.execute("UPDATE mobile_jobs SET attempts=?,updated=? WHERE id=?", {attempts, now, row["id"]});
      continue;
    }
    std::string reason = outcome.reason;
    if (outcome.kind == SendOutcome::Retry) {
      if (attempts < kMaxSendAttempts) {
        double next_at = now + retry_delay(attempts, core_.random());
        if (next_at < row["expires"].get<double>()) {
          conn.execute("UPDATE mobile_jobs SET state='queued',attempts=?,next_at=?,updated=?,reason=? WHERE id=?",
                       {attempts, next_at, now, reason_value(reason), row["id"]});
          continue;
        }
        reason = "The alert expires before the next attempt. " + reason;
      } else {
        reason = "Gave up after " + std::to_string(attempts) + " attempts. " + reason;
      }
    }
    conn.execute("UPDATE mobile_jobs SET state='failed',attempts=?,updated=?,reason=? WHERE id=?",
                 {attempts, now, reason_value(reason), row["id"]});
    mirror_delivery(conn, row, "failed");
    core_.audit(conn, std::nullopt, "mobile.failed",
                Json{{"job_id", row["id"]}, {"alert_id", row["alert_id"]}, {"recipient_id", row["recipient_id"]},
                     {"channel", row["channel"]}, {"attempts", attempts}, {"is_test", row["is_test"] != 0},
                     {"reason", reason}});
  }
  scope.commit();
}

}  // namespace halvenor
