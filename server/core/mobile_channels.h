// What alert creation, cancellation, escalation and the dashboard need of the
// SMS and WhatsApp side. The core decides who gets which copy and writes the
// job rows in the transaction that creates or cancels the alert; routing to a
// provider account, message previews and sending belong to the mobile
// feature, which implements these two interfaces and is connected to the Core
// by the program that builds both (Core::connect_mobile).
//
// Thread-safety: every member may be called from any request thread.
#pragma once

#include <string>

#include "base/json_text.h"
#include "server/core/database.h"

namespace halvenor {

class MobileRouting {
 public:
  virtual ~MobileRouting() = default;
  // Readiness per channel: {"sms": {...}, "whatsapp": {...}}.
  virtual Json report() = 0;
  // Whether `contact` (an empty object once removed) has an account that may
  // carry `channel` messages, live ones when `live`.
  virtual bool route(const Json& contact, const std::string& channel, bool live) = 0;
  // {"preview": {...}} of a WhatsApp message to `contact`; throws TemplateError.
  virtual Json preview(const Json& contact, const Json& title, const Json& body, const std::string& mode,
                       const Json& values) = 0;
};

class MobileJobs {
 public:
  virtual ~MobileJobs() = default;
  // Both run inside the caller's immediate transaction on `conn`.
  virtual void enqueue(Connection& conn, const std::string& alert_id, const std::string& recipient_id,
                       const std::string& channel, double now) = 0;
  virtual void cancel(Connection& conn, const std::string& alert_id, double now) = 0;
  // The dashboard's view of the jobs: paused, counts, totals, oldest due.
  virtual Json summary(Connection& conn) = 0;
};

}  // namespace halvenor
