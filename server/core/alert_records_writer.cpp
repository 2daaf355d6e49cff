#include "base/json_text.h"
#include "server/core/alert_records_writer.h"

#include "server/core/config_snapshot.h"
#include "server/core/escalation.h"
#include "server/core/row_cursor.h"

namespace halvenor {
namespace {

// The fast form reads deliveries and mobile jobs of an alert as two walks of
// their (alert, recipient, channel) indexes and pairs them up as it goes: the
// joined read of the document form costs an index search per delivery, which
// was most of the reading time for a hundred thousand deliveries.
constexpr const char* kDeliveriesInKeyOrderSql =
    "SELECT alert_id,recipient_id,channel,status,received,displayed,acknowledged FROM deliveries "
    "WHERE alert_id=? ORDER BY recipient_id,channel";
constexpr const char* kJobsInKeyOrderSql =
    "SELECT recipient_id,channel,id,state,attempts,next_at,updated,reason,wa_render FROM mobile_jobs "
    "WHERE alert_id=? ORDER BY recipient_id,channel";
// Columns of kJobsInKeyOrderSql.
constexpr int kJobKeyColumn = 0;       // recipient_id, then channel
constexpr int kJobFirstColumn = 2;     // id, state, attempts, next_at, updated, reason
constexpr int kJobColumns = 6;
constexpr int kJobRenderColumn = 8;
// Columns of kDeliveriesInKeyOrderSql.
constexpr int kDeliveryKeyColumn = 1;  // recipient_id, then channel
constexpr int kChannelColumn = 2;
constexpr int kStatusColumn = 3;
constexpr int kDisplayedColumn = 5;
constexpr int kAcknowledgedColumn = 6;

// Keys of a delivery record and of its job, each with what separates it from
// the value before it, in the layout of json::field_text.
constexpr std::string_view kDeliveryKeys[kDeliveryColumns] = {
    "{\"alert_id\": ",  ", \"recipient_id\": ", ", \"channel\": ",     ", \"status\": ",
    ", \"received\": ", ", \"displayed\": ",    ", \"acknowledged\": "};
constexpr std::string_view kJobKeys[kJobColumns] = {"{\"id\": ",      ", \"state\": ",   ", \"attempts\": ",
                                                    ", \"next_at\": ", ", \"updated\": ", ", \"reason\": "};

// One column as the JSON value a row of Connection::query holds for it.
void append_column(std::string& out, const RowCursor& row, int column) {
  switch (row.type(column)) {
    case SQLITE_INTEGER: json::append_integer(out, row.integer(column)); break;
    case SQLITE_FLOAT: json::append_double(out, row.real(column)); break;
    case SQLITE_NULL: out += "null"; break;
    default: json::append_string(out, row.text(column));
  }
}

// A column the document form holds as a string (text, and blobs read as
// text), or none.
std::optional<std::string_view> text_or_none(const RowCursor& row, int column) {
  const int type = row.type(column);
  if (type != SQLITE_TEXT && type != SQLITE_BLOB) return std::nullopt;
  return row.text(column);
}

// One column of a (recipient, channel) key as read from its row: valid
// until the row's cursor moves on.
struct KeyPart {
  int type;
  std::string_view text;  // text and blobs only
  double number;          // numbers only
};

struct Key {
  KeyPart recipient, channel;
};

KeyPart key_part(const RowCursor& row, int column) {
  const int type = row.type(column);
  if (type == SQLITE_INTEGER || type == SQLITE_FLOAT) return {type, {}, row.real(column)};
  if (type == SQLITE_NULL) return {type, {}, 0};
  return {type, row.text(column), 0};
}

Key key_of(const RowCursor& row, int first_column) {
  return {key_part(row, first_column), key_part(row, first_column + 1)};
}

// SQLite's order of values under the BINARY collation: null, numbers, text,
// blobs; text and blobs byte by byte.
int compare_parts(const KeyPart& a, const KeyPart& b) {
  auto rank = [](int type) {
    switch (type) {
      case SQLITE_NULL: return 0;
      case SQLITE_INTEGER:
      case SQLITE_FLOAT: return 1;
      case SQLITE_TEXT: return 2;
      default: return 3;
    }
  };
  const int a_rank = rank(a.type), b_rank = rank(b.type);
  if (a_rank != b_rank) return a_rank < b_rank ? -1 : 1;
  if (a_rank == 0) return 0;
  if (a_rank == 1) return a.number < b.number ? -1 : a.number > b.number ? 1 : 0;
  const int order = a.text.compare(b.text);
  return order < 0 ? -1 : order > 0 ? 1 : 0;
}

int compare_keys(const Key& a, const Key& b) {
  if (int order = compare_parts(a.recipient, b.recipient)) return order;
  return compare_parts(a.channel, b.channel);
}

// Equal keys join only when neither is null, as "=" in the joined read.
bool keys_join(const Key& job, const Key& delivery) {
  return delivery.recipient.type != SQLITE_NULL && delivery.channel.type != SQLITE_NULL &&
         compare_keys(job, delivery) == 0;
}

// The WhatsApp preview of a job's stored rendering. Every job of an alert
// holds the same rendering, so the last one's text is kept.
class PreviewCache {
 public:
  void append(std::string& out, std::string_view render) {
    if (!valid_ || render != render_) {
      valid_ = false;
      preview_ = json::field_text(json::parse_text(render).at("preview"));
      render_.assign(render);
      valid_ = true;
    }
    out += preview_;
  }

 private:
  bool valid_ = false;
  std::string render_;
  std::string preview_;
};

void append_delivery(std::string& out, const RowCursor& delivery, const RowCursor* job, std::string_view lifecycle,
                     PreviewCache& previews) {
  for (int i = 0; i < kDeliveryColumns; ++i) {
    out += kDeliveryKeys[i];
    append_column(out, delivery, i);
  }
  if (!job) {
    out += ", \"queue\": null, \"whatsapp_preview\": null";
  } else {
    out += ", \"queue\": ";
    for (int i = 0; i < kJobColumns; ++i) {
      out += kJobKeys[i];
      append_column(out, *job, kJobFirstColumn + i);
    }
    out += "}, \"whatsapp_preview\": ";
    std::optional<std::string_view> render = text_or_none(*job, kJobRenderColumn);
    if (render && !render->empty())
      previews.append(out, *render);
    else
      out += "null";
  }
  out += ", \"display_status\": ";
  json::append_string(out, display_status(delivery.text(kChannelColumn), text_or_none(delivery, kStatusColumn),
                                          !delivery.is_null(kDisplayedColumn),
                                          !delivery.is_null(kAcknowledgedColumn), lifecycle));
  out += '}';
}

// The deliveries of one alert, each with its job.
void append_deliveries(std::string& out, RowCursor& deliveries, RowCursor& jobs, std::string_view lifecycle,
                       PreviewCache& previews) {
  out += '[';
  bool job_ahead = jobs.next();
  Key job_key{};
  if (job_ahead) job_key = key_of(jobs, kJobKeyColumn);
  for (bool first = true; deliveries.next(); first = false) {
    const Key delivery_key = key_of(deliveries, kDeliveryKeyColumn);
    while (job_ahead && compare_keys(job_key, delivery_key) < 0) {
      job_ahead = jobs.next();
      if (job_ahead) job_key = key_of(jobs, kJobKeyColumn);
    }
    const bool joined = job_ahead && keys_join(job_key, delivery_key);
    if (!first) out += ", ";
    append_delivery(out, deliveries, joined ? &jobs : nullptr, lifecycle, previews);
  }
  out += ']';
}

}  // namespace

std::string complete_alert_record(Connection& conn, Json& alert, double now) {
  const Json& id = alert["id"];
  auto conclusion = conn.query_one("SELECT id FROM alerts WHERE conclusion_of=?", {id});
  alert["conclusion_alert_id"] = conclusion ? (*conclusion)["id"] : Json(nullptr);
  Json incident_title = alert["title"];
  if (!alert["conclusion_of"].is_null()) {
    if (auto incident = conn.query_one("SELECT title FROM alerts WHERE id=?", {alert["conclusion_of"]}))
      incident_title = (*incident)["title"];
  }
  alert["incident_title"] = std::move(incident_title);
  describe_escalation(conn, alert);
  return truthy(alert["cancelled"])                ? "cancelled"
         : alert["expires"].get<double>() <= now ? "expired"
                                                   : "active";
}

std::string display_status(std::string_view channel, std::optional<std::string_view> status, bool displayed,
                           bool acknowledged, std::string_view lifecycle) {
  const bool mobile = channel == "sms" || channel == "whatsapp";
  if (mobile && acknowledged) return "acknowledged";
  if (channel == "desktop" && !acknowledged && lifecycle != "active")
    return std::string(lifecycle) + (displayed ? "_unacknowledged" : "_not_displayed");
  return status ? std::string(*status) : std::string();
}

void write_alert_records(Connection& conn, double now, std::string& out) {
  std::vector<Json> alerts = conn.query(kSnapshotAlertsSql, {kSnapshotAlerts});
  RowCursor deliveries(conn, kDeliveriesInKeyOrderSql);
  RowCursor jobs(conn, kJobsInKeyOrderSql);
  PreviewCache previews;
  out += '[';
  for (std::size_t a = 0; a < alerts.size(); ++a) {
    Json& alert = alerts[a];
    const std::string lifecycle = complete_alert_record(conn, alert, now);
    if (a > 0) out += ", ";
    char separator = '{';
    for (const auto& [key, value] : alert.items()) {
      out += separator;
      if (separator == ',') out += ' ';
      separator = ',';
      json::append_string(out, key);
      out += ": ";
      json::append_field_text(out, value);
    }
    out += ", \"deliveries\": ";
    const std::string& id = alert["id"].get_ref<const std::string&>();
    deliveries.bind(1, id);
    jobs.bind(1, id);
    append_deliveries(out, deliveries, jobs, lifecycle, previews);
    out += ", \"lifecycle\": ";
    json::append_string(out, lifecycle);
    out += '}';
  }
  out += ']';
}

}  // namespace halvenor
