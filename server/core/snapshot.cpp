// The dashboard snapshot: everything the operator dashboard shows, in one object.
#include <unordered_map>

#include "companions/mobile/delivery_queue.h"
#include "companions/mobile/mobile_integrations.h"
#include "server/core/core.h"
#include "server/core/directory_defaults.h"
#include "server/core/errors.h"

namespace halvenor {
namespace {

constexpr int kSnapshotAlerts = 100;
// Columns of a delivery row, before the mobile job's columns in the joined read.
constexpr std::size_t kDeliveryColumns = 7;

std::string display_status(const Json& delivery, const std::string& lifecycle) {
  const std::string channel = delivery["channel"].get<std::string>();
  bool mobile = channel == "sms" || channel == "whatsapp";
  if (mobile && !delivery["acknowledged"].is_null()) return "acknowledged";
  if (channel == "desktop" && delivery["acknowledged"].is_null() && lifecycle != "active")
    return lifecycle + (delivery["displayed"].is_null() ? "_not_displayed" : "_unacknowledged");
  return delivery["status"].is_string() ? delivery["status"].get<std::string>() : std::string();
}

}  // namespace

Json Core::snapshot() {
  const double now = clock_->now();
  ConfigPtr cfg = config();
  const Json& doc = cfg->doc();

  DbScope scope = db();
  Connection& conn = scope.conn();
  std::vector<Json> alerts = conn.query(
      "SELECT id,created,expires,author,title,body,severity,channels,targets,cancelled,is_test,deployment_scope,"
      "conclusion_of FROM alerts ORDER BY created DESC LIMIT ?",
      {kSnapshotAlerts});

  Json alert_records = Json::array();
  for (Json& alert : alerts) {
    const std::string id = alert["id"].get<std::string>();
    auto conclusion = conn.query_one("SELECT id FROM alerts WHERE conclusion_of=?", {id});
    alert["conclusion_alert_id"] = conclusion ? (*conclusion)["id"] : Json(nullptr);
    Json incident_title = alert["title"];
    if (!alert["conclusion_of"].is_null()) {
      if (auto incident = conn.query_one("SELECT title FROM alerts WHERE id=?", {alert["conclusion_of"]}))
        incident_title = (*incident)["title"];
    }
    alert["incident_title"] = incident_title;
    const std::string lifecycle = truthy(alert["cancelled"])                ? "cancelled"
                                  : alert["expires"].get<double>() <= now ? "expired"
                                                                            : "active";
    // One read gives each delivery with its mobile job (if any) instead of a
    // job look-up per delivery; the dashboard repeats this every few seconds.
    Json deliveries = Json::array();
    auto& delivery_list = deliveries.get_ref<Json::array_t&>();
    std::vector<Json> rows = conn.query(
        "SELECT d.alert_id,d.recipient_id,d.channel,d.status,d.received,d.displayed,d.acknowledged,"
        "j.id AS job_id,j.state,j.attempts,j.next_at,j.updated,j.reason,j.wa_render "
        "FROM deliveries d LEFT JOIN mobile_jobs j "
        "ON j.alert_id=d.alert_id AND j.recipient_id=d.recipient_id AND j.channel=d.channel "
        "WHERE d.alert_id=?",
        {id});
    delivery_list.reserve(rows.size());
    for (Json& row : rows) {
      auto columns = row.get_ref<Json::object_t&>().begin();  // positional: the SELECT fixes the order
      Json delivery = Json::object();
      auto& members = delivery.get_ref<Json::object_t&>();
      members.reserve(kDeliveryColumns + 3);
      for (std::size_t i = 0; i < kDeliveryColumns; ++i) members.emplace_back(columns[i].first, std::move(columns[i].second));
      const Json& job_id = columns[kDeliveryColumns].second;
      if (job_id.is_null()) {
        members.emplace_back("queue", nullptr);
        members.emplace_back("whatsapp_preview", nullptr);
      } else {
        Json queue = Json::object();
        auto& job = queue.get_ref<Json::object_t&>();
        job.reserve(6);
        job.emplace_back("id", std::move(columns[kDeliveryColumns].second));
        for (std::size_t i = kDeliveryColumns + 1; i < kDeliveryColumns + 6; ++i)
          job.emplace_back(columns[i].first, std::move(columns[i].second));
        members.emplace_back("queue", std::move(queue));
        const Json& render = columns[kDeliveryColumns + 6].second;
        Json preview = nullptr;
        if (render.is_string() && !render.get_ref<const std::string&>().empty())
          preview = json::parse_text(render.get_ref<const std::string&>()).at("preview");
        members.emplace_back("whatsapp_preview", std::move(preview));
      }
      std::string status = display_status(delivery, lifecycle);
      members.emplace_back("display_status", std::move(status));
      delivery_list.push_back(std::move(delivery));
    }
    alert["deliveries"] = std::move(deliveries);
    alert["lifecycle"] = lifecycle;
    alert_records.push_back(std::move(alert));
  }

  std::unordered_map<std::string, Json> last_seen;
  for (Json& row : conn.query("SELECT * FROM heartbeats"))
    last_seen.emplace(row["device_id"].get<std::string>(), row["seen"]);

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
    copy["member_count"] = required(group, "members").size();
    groups.push_back(std::move(copy));
  }

  Json all_sites = sites_of(doc);
  Json devices = Json::array();
  for (const Json& device : required(doc, "devices")) {
    if (truthy(member_or(device, "removed", kFalse))) continue;
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

  const char* mode = !live_enabled_                     ? "EXERCISE ONLY"
                     : deployment_scope_ == "home_lab" ? "DEMONSTRATION MODE — INCIDENT DISPLAYS"
                                                        : "LIVE DESKTOP ENABLED";
  Json state = Json::object();
  state["mode"] = mode;
  state["deployment_scope"] = deployment_scope_;
  state["live_desktop_enabled"] = live_enabled_;
  state["queue"] = queue_->summary(conn);
  state["integrations"] = mobile_->report();
  state["alert_templates"] = member_or(doc, "alert_templates", kEmptyArray);
  state["sites"] = all_sites;
  state["site_labels"] = site_labels_of(doc);
  state["departments"] = departments_of(doc);
  state["department_labels"] = department_labels_of(doc);
  state["recipient_names"] = std::move(names);
  state["groups"] = std::move(groups);
  state["alerts"] = std::move(alert_records);
  state["devices"] = std::move(devices);
  return state;
}

}  // namespace halvenor
