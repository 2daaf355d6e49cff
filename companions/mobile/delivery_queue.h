// The persistent queue of SMS and WhatsApp jobs and the worker that sends them.
//
// Jobs live in the service's database (table mobile_jobs), one per (alert,
// recipient, mobile channel). They are written inside the transaction that
// creates or cancels the alert, so a job exists exactly when its alert does.
// The worker thread is the only writer of job progress:
//   queued -> sending -> sent | queued (retry with back-off) | failed
//   queued/sending -> cancelled (alert cancelled before the send)
// A job left "sending" by a crash is queued again at start; providers receive
// the job id as idempotency key, so such a retry cannot send twice.
//
// Thread-safety: enqueue, cancel and summary may be called from any thread
// with that thread's own connection; start/stop from one controlling thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "server/core/database.h"
#include "server/core/json_text.h"

namespace halvenor {

class Core;

inline constexpr int kMaxSendAttempts = 6;
inline constexpr double kFirstRetrySeconds = 5.0;
inline constexpr double kMaxRetrySeconds = 300.0;
inline constexpr int kJobsPerBatch = 100;

class DeliveryQueue {
 public:
  explicit DeliveryQueue(Core& core);
  ~DeliveryQueue();

  static void create_schema(Connection& conn);

  void start(bool paused = false);
  void stop();
  bool paused() const { return paused_; }

  void enqueue(Connection& conn, const std::string& alert_id, const std::string& recipient_id,
               const std::string& channel, double now);
  void cancel(Connection& conn, const std::string& alert_id, double now);
  // Counts by state and channel, the age of the oldest due job, and whether
  // the queue is paused.
  Json summary(Connection& conn);

  // Sends every job that is due at `now`; returns how many were attempted.
  // The worker calls it; tests call it directly to step the queue.
  int process_due(double now);

 private:
  void run();
  void attempt(const Json& job, double now);

  Core& core_;
  std::atomic<bool> paused_{false};
  std::atomic<bool> stopping_{false};
  std::mutex wake_mutex_;
  std::condition_variable wake_;
  std::thread worker_;
};

}  // namespace halvenor
