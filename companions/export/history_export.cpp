#include "companions/export/history_export.h"

#include <cmath>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "companions/export/csv.h"
#include "platform/local_time.h"
#include "server/core/audit_chain.h"
#include "server/core/core.h"
#include "server/core/directory_defaults.h"

namespace halvenor {
namespace {

constexpr long long kSecondsPerDay = 86400;
constexpr long long kMaxRangeDays = 366;
constexpr int kFirstYear = 1970;
constexpr int kLastYear = 9999;
// 10000-01-01T00:00:00Z: every time before it has a four-digit year, which
// the file name's YYYYMMDD needs.
constexpr double kEndOfLastYear = 253402300800.0;
constexpr std::size_t kDateLength = 10;  // YYYY-MM-DD

const char* const kCsvHeader[] = {"record",
                                  "alert_id",
                                  "created",
                                  "expires",
                                  "author",
                                  "title",
                                  "body",
                                  "severity",
                                  "channels",
                                  "targets",
                                  "cancelled",
                                  "is_test",
                                  "deployment_scope",
                                  "conclusion_of",
                                  "recipient_id",
                                  "channel",
                                  "status",
                                  "received",
                                  "displayed",
                                  "acknowledged",
                                  "seq",
                                  "at",
                                  "actor",
                                  "event",
                                  "detail",
                                  "previous",
                                  "hash",
                                  "intact",
                                  "rows",
                                  "first_broken_seq",
                                  "reason",
                                  // Added later, after every column that
                                  // existing readers address by position.
                                  "recipient_name",
                                  "created_local",
                                  "expires_local",
                                  "received_local",
                                  "displayed_local",
                                  "acknowledged_local",
                                  "at_local"};
constexpr std::size_t kCsvColumns = sizeof(kCsvHeader) / sizeof(kCsvHeader[0]);

const char* const kRangeRule = " must be a date (YYYY-MM-DD, UTC) or Unix seconds, from 1970 to 9999.";

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's
// days_from_civil), and back.
long long days_from_civil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<long long>(doe) - 719468;
}

struct CivilDate {
  long long year;
  unsigned month;
  unsigned day;
};

CivilDate civil_from_days(long long z) {
  z += 719468;
  const long long era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<long long>(yoe) + era * 400 + (m <= 2), m, d};
}

unsigned days_in_month(long long year, unsigned month) {
  static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  return month == 2 && leap ? 29 : kDays[month - 1];
}

// Days since the epoch of a strict "YYYY-MM-DD", or nullopt.
std::optional<long long> parse_date(const std::string& text) {
  if (text.size() != kDateLength || text[4] != '-' || text[7] != '-') return std::nullopt;
  for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
    if (text[i] < '0' || text[i] > '9') return std::nullopt;
  const long long year = std::stoll(text.substr(0, 4));
  const unsigned month = static_cast<unsigned>(std::stoul(text.substr(5, 2)));
  const unsigned day = static_cast<unsigned>(std::stoul(text.substr(8, 2)));
  if (year < kFirstYear || year > kLastYear || month < 1 || month > 12 || day < 1 || day > days_in_month(year, month))
    return std::nullopt;
  return days_from_civil(year, month, day);
}

// One end of the range in Unix seconds. A date starts at its UTC midnight;
// as the end of the range it means the end of that day.
double range_bound(const Json& value, const char* name, bool is_end) {
  if (value.is_string()) {
    if (auto days = parse_date(value.get<std::string>()))
      return static_cast<double>((*days + (is_end ? 1 : 0)) * kSecondsPerDay);
  } else if (value.is_number()) {
    double seconds = value.get<double>();
    if (std::isfinite(seconds) && seconds >= 0.0 && seconds <= kEndOfLastYear) return seconds;
  }
  throw ExportInvalid(std::string(name) + kRangeRule);
}

std::string compact_date(long long days) {
  CivilDate date = civil_from_days(days);
  char text[16];
  std::snprintf(text, sizeof text, "%04lld%02u%02u", date.year, date.month, date.day);
  return text;
}

std::string iso_date(long long days) {
  CivilDate date = civil_from_days(days);
  char text[16];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u", date.year, date.month, date.day);
  return text;
}

struct Range {
  double from;  // inclusive
  double to;    // exclusive
  long long first_day() const { return static_cast<long long>(std::floor(from / kSecondsPerDay)); }
  // The day of the last instant before `to`.
  long long last_day() const { return static_cast<long long>(std::ceil(to / kSecondsPerDay)) - 1; }
};

Range requested_range(const Json& request) {
  const Json& from = member_or(request, "from", kNull);
  const Json& to = member_or(request, "to", kNull);
  if (from.is_null() || to.is_null())
    throw ExportInvalid("Choose the export range: from and to, each a date (YYYY-MM-DD, UTC) or Unix seconds.");
  Range range{range_bound(from, "from", false), range_bound(to, "to", true)};
  if (!(range.from < range.to)) throw ExportInvalid("The export range must end after it starts.");
  if (range.to - range.from > static_cast<double>(kMaxRangeDays * kSecondsPerDay))
    throw ExportInvalid("The export range may cover at most 366 days.");
  return range;
}

std::string cell_text(const Json& value) {
  if (value.is_null()) return std::string();
  if (value.is_string()) return value.get<std::string>();
  if (value.is_boolean()) return value.get<bool>() ? "true" : "false";
  if (value.is_number_float()) return json::format_double(value.get<double>());
  return value.dump();
}

// One CSV record with the named columns filled and the others empty.
class CsvRecord {
 public:
  explicit CsvRecord(const char* record) : values_(kCsvColumns) { values_[0] = record; }
  CsvRecord& set(const char* column, const Json& value) {
    for (std::size_t i = 0; i < kCsvColumns; ++i)
      if (std::string_view(kCsvHeader[i]) == column) {
        values_[i] = cell_text(value);
        return *this;
      }
    throw std::logic_error(std::string("no export column ") + column);
  }
  void append_to(std::string& out) const { csv::append_record(out, values_); }

 private:
  std::vector<std::string> values_;
};

struct History {
  std::vector<Json> alerts;  // each with its "deliveries"
  std::vector<Json> audit;
  long long deliveries = 0;
  ChainVerdict chain;
};

History read_history(Connection& conn, const Range& range) {
  History history;
  history.alerts = conn.query(
      "SELECT id,created,expires,author,title,body,severity,channels,targets,cancelled,is_test,deployment_scope,"
      "conclusion_of FROM alerts WHERE created>=? AND created<? ORDER BY created,id",
      {range.from, range.to});
  for (Json& alert : history.alerts) {
    std::vector<Json> deliveries = conn.query(
        "SELECT recipient_id,channel,status,received,displayed,acknowledged FROM deliveries WHERE alert_id=? "
        "ORDER BY rowid",
        {alert["id"]});
    history.deliveries += static_cast<long long>(deliveries.size());
    alert["deliveries"] = Json(std::move(deliveries));
  }
  history.audit =
      conn.query("SELECT seq,at,actor,event,detail,previous,hash FROM audit WHERE at>=? AND at<? ORDER BY seq",
                 {range.from, range.to});
  history.chain = verify_audit_chain(conn);
  return history;
}

Json local_time(const Json& seconds) {
  if (!seconds.is_number()) return kNull;
  return platform::iso8601_local(seconds.get<double>());
}

// Computers and contacts by id, as the directory names them now.
std::unordered_map<std::string, std::string> recipient_names(const Json& doc) {
  std::unordered_map<std::string, std::string> names;
  for (const Json& device : required(doc, "devices"))
    names.emplace(required(device, "id").get<std::string>(), device_display_name(device));
  for (const Json& contact : required(doc, "contacts")) {
    const Json& name = member_or(contact, "display_name", kNull);
    const std::string id = required(contact, "id").get<std::string>();
    names.emplace(id, truthy(name) ? name.get<std::string>() : id);
  }
  return names;
}

std::string history_csv(const History& history, const Json& doc) {
  const std::unordered_map<std::string, std::string> names = recipient_names(doc);
  std::string out;
  csv::append_record(out, std::vector<std::string>(std::begin(kCsvHeader), std::end(kCsvHeader)));
  for (const Json& alert : history.alerts) {
    CsvRecord record("alert");
    record.set("alert_id", alert["id"]);
    for (const char* column : {"created", "expires", "author", "title", "body", "severity", "channels", "targets",
                               "cancelled", "is_test", "deployment_scope", "conclusion_of"})
      record.set(column, alert[column]);
    record.set("created_local", local_time(alert["created"])).set("expires_local", local_time(alert["expires"]));
    record.append_to(out);
    for (const Json& delivery : alert["deliveries"]) {
      CsvRecord row("delivery");
      row.set("alert_id", alert["id"]);
      for (const char* column : {"recipient_id", "channel", "status", "received", "displayed", "acknowledged"})
        row.set(column, delivery[column]);
      auto name = names.find(delivery["recipient_id"].get<std::string>());
      if (name != names.end()) row.set("recipient_name", name->second);
      row.set("received_local", local_time(delivery["received"]))
          .set("displayed_local", local_time(delivery["displayed"]))
          .set("acknowledged_local", local_time(delivery["acknowledged"]));
      row.append_to(out);
    }
  }
  for (const Json& audit : history.audit) {
    CsvRecord record("audit");
    for (const char* column : {"seq", "at", "actor", "event", "detail", "previous", "hash"})
      record.set(column, audit[column]);
    record.set("at_local", local_time(audit["at"]));
    record.append_to(out);
  }
  const Json chain = chain_verdict_json(history.chain);
  CsvRecord record("chain");
  record.set("intact", chain["intact"])
      .set("rows", chain["rows"])
      .set("first_broken_seq", chain["first_broken_seq"])
      .set("reason", chain["reason"])
      .set("hash", chain["last_hash"]);
  record.append_to(out);
  return out;
}

}  // namespace

ExportFile export_history(Core& core, const std::string& actor, const Json& request) {
  if (!request.is_object()) throw ExportInvalid("The export request must be a JSON object.");
  const Json& format = member_or(request, "format", kNull);
  if (format != "csv" && format != "json") throw ExportInvalid("Choose csv or json as the export format.");
  const bool as_json = format == "json";
  const Range range = requested_range(request);

  ExportFile file;
  file.filename = "halvenor-history-" + compact_date(range.first_day()) + "-" + compact_date(range.last_day()) +
                  (as_json ? ".json" : ".csv");

  DbScope scope = core.db();
  Connection& conn = scope.conn();
  // One read transaction gives the rows and the chain verdict of one state.
  // The write lock is taken only afterwards, for the audit event: verifying a
  // long chain must never hold up alerts being raised meanwhile.
  conn.exec("BEGIN");
  History history = read_history(conn, range);
  conn.exec("COMMIT");

  if (as_json) {
    file.content_type = "application/json";
    Json body = Json::object();
    body["range"] = {{"from", range.from},
                     {"to", range.to},
                     {"first_day", iso_date(range.first_day())},
                     {"last_day", iso_date(range.last_day())}};
    body["alerts"] = Json(history.alerts);
    body["audit"] = Json(history.audit);
    body["chain"] = chain_verdict_json(history.chain);
    file.json_body = std::move(body);
  } else {
    file.content_type = "text/csv; charset=utf-8";
    file.bytes = history_csv(history, core.config()->doc());
  }

  scope.begin_immediate();
  core.audit(conn, actor, "history.exported",
             Json{{"from", range.from},
                  {"to", range.to},
                  {"format", format},
                  {"alerts", history.alerts.size()},
                  {"deliveries", history.deliveries},
                  {"audit_rows", history.audit.size()},
                  {"chain_intact", history.chain.intact}});
  scope.commit();
  return file;
}

}  // namespace halvenor
