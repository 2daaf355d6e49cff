// The dashboard's alert records: the reads and rules shared by the snapshot
// document (Core::snapshot) and its text form (snapshot_text.h).
//
// write_alert_records writes the records as JSON text straight from the
// stored rows, byte for byte what json::field_text writes for the records the
// document holds, without building them first: the dashboard polls a
// hundred alerts of up to thousands of deliveries each, and the document of
// that size costs several times more to build and encode than to read.
//
// Thread-safety: the functions keep no state; the connection is the caller's.
// Errors: DatabaseError; RequestError for a stored text that is not valid
// UTF-8 or a WhatsApp rendering that is not JSON; a JSON type error for an
// alert row with an unusable `expires`.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "server/core/database.h"

namespace halvenor {

inline constexpr int kSnapshotAlerts = 100;

// The newest alerts, at most kSnapshotAlerts of them.
inline constexpr const char* kSnapshotAlertsSql =
    "SELECT id,created,expires,author,title,body,severity,channels,targets,cancelled,is_test,deployment_scope,"
    "conclusion_of FROM alerts ORDER BY created DESC LIMIT ?";

// The document form's read of an alert's deliveries, each with its mobile
// job (if any). The first seven columns are the delivery's, then come the
// job's six shown columns and its stored rendering. The deliveries come in
// the order of their key, which the text form's own reads keep.
inline constexpr const char* kSnapshotDeliveriesSql =
    "SELECT d.alert_id,d.recipient_id,d.channel,d.status,d.received,d.displayed,d.acknowledged,"
    "j.id AS job_id,j.state,j.attempts,j.next_at,j.updated,j.reason,j.wa_render "
    "FROM deliveries d LEFT JOIN mobile_jobs j "
    "ON j.alert_id=d.alert_id AND j.recipient_id=d.recipient_id AND j.channel=d.channel "
    "WHERE d.alert_id=?";
inline constexpr int kDeliveryColumns = 7;

// Adds `conclusion_alert_id` and `incident_title` to an alert row of
// kSnapshotAlertsSql and returns its lifecycle ("cancelled", "expired" or
// "active") at `now`.
std::string complete_alert_record(Connection& conn, Json& alert, double now);

// What the dashboard shows for one delivery; `status` is empty when the
// stored status is not text.
std::string display_status(std::string_view channel, std::optional<std::string_view> status, bool displayed,
                           bool acknowledged, std::string_view lifecycle);

// Appends the JSON text of the array of alert records, newest first.
void write_alert_records(Connection& conn, double now, std::string& out);

}  // namespace halvenor
