// History export for auditors: alerts with their deliveries and receipt
// times, and the audit rows of a time range with the verdict on the whole
// hash chain, as CSV or JSON.
//
// Request: {"format": "csv" | "json", "from": ..., "to": ...}. Each end is a
// date "YYYY-MM-DD" or a number of Unix seconds (1970 to 9999). A date means
// its midnight UTC; as "to" it means the end of that day, so from "2024-03-01"
// to "2024-03-01" is that whole day. A number as "to" is an exclusive end. The
// range must be non-empty and at most 366 days long.
//
// Exported: the alerts created in [from, to) with their deliveries, the audit
// rows whose `at` is in [from, to), and the verdict of checking the whole
// audit chain (rows, first broken seq and why, the hash of the last row).
//
// JSON body: {"range": {from, to, first_day, last_day}, "alerts": [alert
// fields as stored, with "deliveries"], "audit": [rows as stored, detail as
// its canonical text], "chain": {intact, rows, first_broken_seq, reason,
// last_hash}}.
//
// CSV (RFC 4180, UTF-8 without byte-order mark, see csv.h): one table with a
// fixed header row. The "record" column says what a row is: "alert" (alert
// columns), "delivery" (alert_id and the delivery columns, right after its
// alert), "audit" (seq to hash, in seq order, after all alerts) and one last
// "chain" row (intact, rows, first_broken_seq, reason, and the last row's hash
// in "hash"). Columns a record does not use are empty; empty also stands for
// null. Times are Unix seconds. After all of these, so that readers that
// count columns keep working, come the recipient's name as the directory
// gives it now ("recipient_name") and each time again as ISO 8601 local time
// of the server with its UTC offset ("created_local" ... "at_local").
//
// File name "halvenor-history-<first day>-<last day>.<csv|json>", days as
// YYYYMMDD in UTC, the last day being the day of the last included instant.
//
// Every export appends the audit event "history.exported" (actor = caller;
// detail: from, to, format and the counts of alerts, deliveries and audit
// rows, and whether the chain was intact) in the same immediate transaction
// that reads the data, so the event describes exactly what was exported.
//
// Thread-safety: safe to call concurrently; writers are serialised by the
// database. Throws ExportInvalid for a bad request, format or range;
// database failures as DatabaseError.
#pragma once

#include <string>

#include "base/json_text.h"

namespace halvenor {

class Core;

struct ExportFile {
  std::string content_type;  // "application/json" or "text/csv; charset=utf-8"
  Json json_body;            // when content_type is JSON
  std::string bytes;         // otherwise
  std::string filename;      // "halvenor-history-<from>-<to>.<ext>"
};

// Throws ExportInvalid for a bad range or format. Writes one audit event.
ExportFile export_history(Core& core, const std::string& actor, const Json& request);

}  // namespace halvenor
