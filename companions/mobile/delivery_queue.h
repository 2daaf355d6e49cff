// The persistent queue of SMS and WhatsApp jobs and the worker that sends them.
//
// Jobs live in the service's database (table mobile_jobs), one per (alert,
// recipient, mobile channel). They are written inside the transaction that
// creates or cancels the alert, so a job exists exactly when its alert does.
// The worker is the only writer of job progress:
//   queued -> sending -> sent | queued (retry after back-off) | failed
//   queued -> cancelled (alert cancelled), failed (no route, alert expired)
//   sending -> cancelled (alert cancelled before the message left)
// A round claims due jobs (marks them "sending" and issues their
// acknowledgement links) in one short immediate transaction, sends them with
// no transaction open, so the database is never locked during a network
// call, and records the outcomes in a second transaction. A job whose alert
// was cancelled after the claim is checked again just before it is sent.
// A job left "sending" by a process that died is queued again at start;
// providers receive the job id as idempotency key, so the retry cannot
// deliver twice. Each mobile delivery row mirrors its job's final state
// ("sent", "failed", "cancelled") so the dashboard can show it directly.
//
// Audit events: "mobile.sent" and "mobile.failed" (actor: none).
//
// Thread-safety: enqueue, cancel and summary may be called from any thread
// with that thread's own connection, inside its transaction; process_due
// runs one round at a time; start/stop from one controlling thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/json_text.h"
#include "server/core/database.h"
#include "server/core/mobile_channels.h"

namespace halvenor {

class Core;
class MobileAcknowledgements;

// Jobs claimed by one round.
inline constexpr int kJobsPerBatch = 100;
// Messages of one round in flight at once.
inline constexpr int kConcurrentSends = 8;

class DeliveryQueue : public MobileJobs {
 public:
  // Creates the tables of the accounts and the mock provider; each job
  // carries an acknowledgement link from `acknowledgements`.
  DeliveryQueue(Core& core, MobileAcknowledgements& acknowledgements);
  ~DeliveryQueue();
  DeliveryQueue(const DeliveryQueue&) = delete;
  DeliveryQueue& operator=(const DeliveryQueue&) = delete;

  // The tables of the accounts and the mock provider (the core keeps mobile_jobs).
  static void create_schema(Connection& conn);

  // Queues interrupted jobs again, then starts the worker; returns at once.
  // When paused, jobs are stored but nothing is processed.
  void start(bool paused = false);
  // Returns when the worker has finished its current message and stopped.
  void stop();
  bool paused() const { return paused_; }

  void enqueue(Connection& conn, const std::string& alert_id, const std::string& recipient_id,
               const std::string& channel, double now) override;
  void cancel(Connection& conn, const std::string& alert_id, double now) override;
  // {"paused", "counts": {channel: {state: n}}, "totals": {state: n},
  //  "oldest_due_seconds": age of the oldest due queued job, or null}.
  Json summary(Connection& conn) override;

  // Jobs left "sending" go back to "queued"; returns how many. start() calls it.
  int recover_interrupted();
  // One round at `now`: claims due jobs, sends them, records the outcomes;
  // returns how many due jobs it took up (0 when paused). The worker calls
  // it; tests call it directly to step the queue on a fake clock.
  int process_due(double now);

 private:
  struct ClaimedJob;
  int claim(double now, std::vector<ClaimedJob>& claimed);
  void send_all(std::vector<ClaimedJob>& jobs);
  void record(std::vector<ClaimedJob>& jobs, double now);
  bool still_to_send(const std::string& job_id);
  void run();
  void wake();

  Core& core_;
  MobileAcknowledgements& acknowledgements_;
  std::atomic<bool> paused_{false};
  std::atomic<bool> stopping_{false};
  std::mutex round_mutex_;
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  bool wake_pending_ = false;
  std::thread worker_;
};

}  // namespace halvenor
