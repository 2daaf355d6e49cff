// The dashboard snapshot: everything the operator dashboard shows, in one object.
#include <atomic>
#include <unordered_map>

#include "base/errors.h"
#include "base/json_text.h"
#include "server/core/alert_records_writer.h"
#include "server/core/core.h"
#include "server/core/directory_defaults.h"
#include "server/core/directory_views.h"
#include "server/core/snapshot.h"

namespace halvenor {
namespace {

// The alert records as a document, one delivery read per alert.
Json alert_records(Connection& conn, double now) {
  std::vector<Json> alerts = conn.query(kSnapshotAlertsSql, {kSnapshotAlerts});
  Json records = Json::array();
  for (Json& alert : alerts) {
    const std::string lifecycle = complete_alert_record(conn, alert, now);
    Json deliveries = Json::array();
    auto& delivery_list = deliveries.get_ref<Json::array_t&>();
    std::vector<Json> rows = conn.query(kSnapshotDeliveriesSql, {alert["id"]});
    delivery_list.reserve(rows.size());
    for (Json& row : rows) {
      auto columns = row.get_ref<Json::object_t&>().begin();  // positional: the SELECT fixes the order
      Json delivery = Json::object();
      auto& members = delivery.get_ref<Json::object_t&>();
      members.reserve(kDeliveryColumns + 3);
      for (int i = 0; i < kDeliveryColumns; ++i) members.emplace_back(columns[i].first, std::move(columns[i].second));
      const Json& job_id = columns[kDeliveryColumns].second;
      if (job_id.is_null()) {
        members.emplace_back("queue", nullptr);
        members.emplace_back("whatsapp_preview", nullptr);
      } else {
        Json queue = Json::object();
        auto& job = queue.get_ref<Json::object_t&>();
        job.reserve(6);
        job.emplace_back("id", std::move(columns[kDeliveryColumns].second));
        for (int i = kDeliveryColumns + 1; i < kDeliveryColumns + 6; ++i)
          job.emplace_back(columns[i].first, std::move(columns[i].second));
        members.emplace_back("queue", std::move(queue));
        const Json& render = columns[kDeliveryColumns + 6].second;
        Json preview = nullptr;
        if (render.is_string() && !render.get_ref<const std::string&>().empty())
          preview = json::parse_text(render.get_ref<const std::string&>()).at("preview");
        members.emplace_back("whatsapp_preview", std::move(preview));
      }
      const Json& status = delivery["status"];
      std::string shown = display_status(delivery["channel"].get_ref<const std::string&>(),
                                         status.is_string() ? std::optional<std::string_view>(
                                                                  status.get_ref<const std::string&>())
                                                            : std::nullopt,
                                         !delivery["displayed"].is_null(), !delivery["acknowledged"].is_null(),
                                         lifecycle);
      members.emplace_back("display_status", std::move(shown));
      delivery_list.push_back(std::move(delivery));
    }
    alert["deliveries"] = std::move(deliveries);
    alert["lifecycle"] = lifecycle;
    records.push_back(std::move(alert));
  }
  return records;
}

// The snapshot's members other than `alerts`: those before it into `head`,
// the device list (after it) into `devices`.
void dashboard_frame(Core& core, const Json& doc, Connection& conn, Json& head, Json& devices) {
  std::unordered_map<std::string, Json> last_seen;
  for (const auto& [device, seen] : core.heartbeats().last_seen(conn)) last_seen.emplace(device, seen);

  Json names = Json::object();
  for (const Json& device : required(doc, "devices"))
    names[required(device, "id").get<std::string>()] = device_display_name(device);
  for (const Json& contact : required(doc, "contacts")) {
    const Json& name = member_or(contact, "display_name", kNull);
    names[required(contact, "id").get<std::string>()] = truthy(name) ? name : contact.at("id");
  }

  Json groups = Json::array();
  for (const Json& group : required(doc, "groups")) {
    Json copy = group;
    copy["member_count"] = GroupView(group).members().size();
    groups.push_back(std::move(copy));
  }

  Json all_sites = Core::sites_of(doc);
  devices = Json::array();
  for (const Json& device : required(doc, "devices")) {
    if (ComputerView(device).removed()) continue;
    const Json& site = required(device, "site");
    const Json& department = required(device, "department");
    Json entry = {{"id", required(device, "id")}, {"site", site}, {"department", department}};
    entry["sites"] = device.contains("sites") ? device["sites"] : site == "BOTH" ? all_sites : Json::array({site});
    entry["departments"] = device.contains("departments") ? device["departments"] : Json::array({department});
    entry["computer_id"] = member_or(device, "computer_id", device["id"]);
    auto seen = last_seen.find(device["id"].get<std::string>());
    entry["last_seen"] = seen == last_seen.end() ? Json(nullptr) : seen->second;
    entry["enabled"] = member_or(device, "enabled", kTrue);
    devices.push_back(std::move(entry));
  }

  const bool live = core.live_enabled();
  const std::string& scope = core.deployment_scope();
  const char* mode = !live                  ? "EXERCISE ONLY"
                     : scope == "home_lab" ? "DEMONSTRATION MODE — INCIDENT DISPLAYS"
                                           : "LIVE DESKTOP ENABLED";
  head = Json::object();
  head["mode"] = mode;
  head["deployment_scope"] = scope;
  head["live_desktop_enabled"] = live;
  head["queue"] = core.mobile_jobs().summary(conn);
  head["integrations"] = core.mobile_routing().report();
  head["alert_templates"] = member_or(doc, "alert_templates", kEmptyArray);
  head["sites"] = std::move(all_sites);
  head["site_labels"] = Core::site_labels_of(doc);
  head["departments"] = Core::departments_of(doc);
  head["department_labels"] = Core::department_labels_of(doc);
  head["recipient_names"] = std::move(names);
  head["groups"] = std::move(groups);
}

}  // namespace

Json Core::snapshot() {
  const double now = clock_->now();
  ConfigPtr cfg = config();
  DbScope scope = db();
  Connection& conn = scope.conn();
  Json alerts = alert_records(conn, now);
  Json state, devices;
  dashboard_frame(*this, cfg->doc(), conn, state, devices);
  state["alerts"] = std::move(alerts);
  state["devices"] = std::move(devices);
  return state;
}

std::string snapshot_text(Core& core, const Json& extra) {
  // The dashboard asks every few seconds and the size changes little between
  // two replies: reserving the last size (and a little) spares growing a text
  // of tens of megabytes step by step, each step a copy onto fresh pages.
  static std::atomic<std::size_t> last_size{0};
  const double now = core.clock().now();
  ConfigPtr cfg = core.config();
  DbScope scope = core.db();
  Connection& conn = scope.conn();
  std::string out;
  out.reserve(last_size.load(std::memory_order_relaxed) / 16 * 17);
  write_alert_records(conn, now, out);
  Json head, devices;
  dashboard_frame(core, cfg->doc(), conn, head, devices);

  // The head's text is an object that always has members: its closing brace
  // gives way to the alerts, written first because they are read first.
  std::string start = json::field_text(head);
  start.back() = ',';
  start += " \"alerts\": ";
  out.insert(0, start);
  out += ", \"devices\": ";
  json::append_field_text(out, devices);
  for (const auto& [key, value] : extra.items()) {
    out += ", ";
    json::append_string(out, key);
    out += ": ";
    json::append_field_text(out, value);
  }
  out += '}';
  last_size.store(out.size(), std::memory_order_relaxed);
  return out;
}

}  // namespace halvenor
