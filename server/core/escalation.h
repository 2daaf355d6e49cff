// Escalation: when too few people acknowledge an alert on their screens, the
// alert goes out once more, to the contacts of chosen groups by SMS and/or
// WhatsApp.
//
// An alert request may carry "escalation": {"after_minutes": 1–60,
// "min_acknowledged_percent": 1–100, "channels": ["sms"|"whatsapp", ...],
// "groups": [group ids]}. It is checked at creation exactly as sending on
// those channels to those groups would be, and its recipients are fixed then.
// The decision is taken by the server's clock from the stored due time, so a
// restart during the wait neither loses nor repeats it: the state moves once
// from "pending" to "sent", "not_needed", "cancelled" or "expired", in the
// same transaction as the deliveries, mobile jobs and audit event it causes.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "server/core/core.h"

namespace halvenor {

struct EscalationPlan {
  Json request;                          // the request's "escalation" member as given
  std::vector<DeliveryTarget> targets;   // contacts and channels it would reach
};

// The plan of an alert request, or nullopt when it has none. Throws Invalid
// with the operator-facing message when the escalation is malformed, the
// alert has no desktop recipients to measure, or the actor may not send it.
std::optional<EscalationPlan> plan_escalation(Core& core, const Json& data, const std::vector<DeliveryTarget>& targets,
                                              const std::string& actor);

// Stores `plan` with the just-inserted alert `alert_id` created at `now`,
// inside the creating transaction.
void store_escalation(Connection& conn, const std::string& alert_id, const EscalationPlan& plan, double now);

// Decides every escalation that is due at the core's clock; returns how many
// were decided. Safe to call often and from one thread at a time.
int run_due_escalations(Core& core);

// Adds the "escalation" member to a snapshot alert record that has one:
// the request's fields plus "at" (due time) and "state".
void describe_escalation(Connection& conn, Json& alert);

// The table and index escalation needs; idempotent.
void create_escalation_schema(Connection& conn);

}  // namespace halvenor
