#include "companions/decision/decision_dashboard.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "server/core/core.h"
#include "server/core/directory_defaults.h"

namespace halvenor {
namespace {

// A computer whose last poll was longer ago than this when the alert was
// created could not have been relied on to show it promptly.
constexpr double kSilentAfterSeconds = 120.0;
constexpr int kMedianPercent = 50;
constexpr int kUpperPercent = 90;

// The display statuses in the order a commander reads them: not yet reached,
// reached, done, then the ways an alert can end unseen.
constexpr std::array<const char*, 9> kStatusOrder = {"pending",
                                                     "queued",
                                                     "received",
                                                     "displayed",
                                                     "acknowledged",
                                                     "expired_not_displayed",
                                                     "expired_unacknowledged",
                                                     "cancelled_not_displayed",
                                                     "cancelled_unacknowledged"};

std::string lifecycle_of(const Json& alert, double now) {
  if (truthy(alert["cancelled"])) return "cancelled";
  return alert["expires"].is_number() && alert["expires"].get<double>() <= now ? "expired" : "active";
}

// What the operator dashboard shows for one delivery, so both views agree.
std::string display_status(const Json& delivery, const std::string& lifecycle) {
  const Json& channel = delivery["channel"];
  const bool mobile = channel == "sms" || channel == "whatsapp";
  if (mobile && !delivery["acknowledged"].is_null()) return "acknowledged";
  if (channel == "desktop" && delivery["acknowledged"].is_null() && lifecycle != "active")
    return lifecycle + (delivery["displayed"].is_null() ? "_not_displayed" : "_unacknowledged");
  return delivery["status"].is_string() ? delivery["status"].get<std::string>() : std::string();
}

// Deliveries counted by display status; every known status is present (zero
// or not) so the keys never move, and unexpected ones follow in order seen.
class Tally {
 public:
  Tally() {
    for (const char* status : kStatusOrder) counts_.emplace_back(status, 0);
  }
  void add(const std::string& status) {
    ++total_;
    for (auto& [name, count] : counts_)
      if (name == status) {
        ++count;
        return;
      }
    counts_.emplace_back(status, 1);
  }
  long long total() const { return total_; }
  long long count(const std::string& status) const {
    for (const auto& [name, count] : counts_)
      if (name == status) return count;
    return 0;
  }
  Json to_json() const {
    Json result = {{"total", total_}};
    for (const auto& [name, count] : counts_) result[name] = count;
    return result;
  }

 private:
  long long total_ = 0;
  std::vector<std::pair<std::string, long long>> counts_;
};

// Tallies per site or department: the configured vocabulary first, in its
// order, then names only recipients carry, then recipients with none (null).
class GroupedTally {
 public:
  GroupedTally(const char* key, Json vocabulary, Json labels)
      : key_(key), vocabulary_(std::move(vocabulary)), labels_(std::move(labels)) {}

  void add(const std::vector<std::string>& places, const std::string& status) {
    if (places.empty()) {
      if (!unplaced_) unplaced_.emplace();
      unplaced_->add(status);
      return;
    }
    for (const auto& place : places) {
      auto it = tallies_.find(place);
      if (it == tallies_.end()) {
        it = tallies_.emplace(place, Tally()).first;
        if (std::find(vocabulary_.begin(), vocabulary_.end(), Json(place)) == vocabulary_.end())
          extras_.push_back(place);
      }
      it->second.add(status);
    }
  }

  Json to_json() const {
    Json result = Json::array();
    auto emit = [&](const std::string& name) {
      auto it = tallies_.find(name);
      if (it == tallies_.end()) return;
      const Json& label = labels_.is_object() && labels_.contains(name) ? labels_[name] : Json(name);
      result.push_back({{key_, name}, {"label", label}, {"counts", it->second.to_json()}});
    };
    for (const Json& name : vocabulary_)
      if (name.is_string()) emit(name.get<std::string>());
    for (const auto& name : extras_) emit(name);
    if (unplaced_)
      result.push_back({{key_, nullptr}, {"label", "Not in the directory"}, {"counts", unplaced_->to_json()}});
    return result;
  }

 private:
  const char* key_;
  Json vocabulary_;
  Json labels_;
  std::unordered_map<std::string, Tally> tallies_;
  std::vector<std::string> extras_;
  std::optional<Tally> unplaced_;
};

// The directory entries of the configuration, looked up by recipient.
class Directory {
 public:
  Directory(const Json& doc, Json all_sites, Json all_departments)
      : all_sites_(std::move(all_sites)), all_departments_(std::move(all_departments)) {
    for (const Json& device : required(doc, "devices"))
      if (const Json& id = member_or(device, "id", kNull); id.is_string())
        devices_.emplace(id.get<std::string>(), &device);
    for (const Json& contact : required(doc, "contacts"))
      if (const Json& id = member_or(contact, "id", kNull); id.is_string())
        contacts_.emplace(id.get<std::string>(), &contact);
  }

  // Desktop deliveries go to receiving computers, mobile ones to contacts; an
  // id found only in the other list is still better than none.
  const Json* entry(const std::string& recipient, const std::string& channel, bool* is_device) const {
    const bool desktop = channel == "desktop";
    const auto& first = desktop ? devices_ : contacts_;
    const auto& second = desktop ? contacts_ : devices_;
    if (auto it = first.find(recipient); it != first.end()) {
      *is_device = desktop;
      return it->second;
    }
    if (auto it = second.find(recipient); it != second.end()) {
      *is_device = !desktop;
      return it->second;
    }
    return nullptr;
  }

  std::string name(const Json* entry, bool is_device, const std::string& recipient) const {
    if (!entry) return recipient;
    if (is_device) return device_display_name(*entry);
    const Json& name = member_or(*entry, "display_name", kNull);
    return truthy(name) && name.is_string() ? name.get<std::string>() : recipient;
  }

  std::vector<std::string> sites(const Json* entry) const { return places(entry, "sites", "site", all_sites_); }
  std::vector<std::string> departments(const Json* entry) const {
    return places(entry, "departments", "department", all_departments_);
  }

 private:
  // The entry's list when present, else its single value; "BOTH" stands for
  // every name of the vocabulary.
  static std::vector<std::string> places(const Json* entry, const char* list_key, const char* single_key,
                                         const Json& everything) {
    std::vector<std::string> result;
    if (!entry) return result;
    Json values = Json::array();
    if (const Json& list = member_or(*entry, list_key, kNull); list.is_array())
      values = list;
    else if (const Json& single = member_or(*entry, single_key, kNull); !single.is_null())
      values.push_back(single);
    auto add = [&](const std::string& name) {
      if (std::find(result.begin(), result.end(), name) == result.end()) result.push_back(name);
    };
    for (const Json& value : values) {
      if (!value.is_string() || value.get<std::string>().empty()) continue;
      if (value == "BOTH") {
        for (const Json& name : everything)
          if (name.is_string()) add(name.get<std::string>());
      } else {
        add(value.get<std::string>());
      }
    }
    return result;
  }

  Json all_sites_;
  Json all_departments_;
  std::unordered_map<std::string, const Json*> devices_;
  std::unordered_map<std::string, const Json*> contacts_;
};

// Nearest-rank percentile: the smallest value with at least `percent` of the
// values at or below it. Null when there are none.
Json percentile(const std::vector<double>& sorted, int percent) {
  if (sorted.empty()) return nullptr;
  std::size_t rank = (static_cast<std::size_t>(percent) * sorted.size() + 99) / 100;
  rank = std::clamp<std::size_t>(rank, 1, sorted.size());
  return sorted[rank - 1];
}

Json delay_figures(std::vector<double> delays) {
  std::sort(delays.begin(), delays.end());
  return {{"count", delays.size()},
          {"median_seconds", percentile(delays, kMedianPercent)},
          {"p90_seconds", percentile(delays, kUpperPercent)}};
}

Json array_of(const std::vector<std::string>& names) {
  Json result = Json::array();
  for (const auto& name : names) result.push_back(name);
  return result;
}

constexpr const char* kAlertColumns =
    "SELECT id,title,is_test,created,expires,cancelled,deployment_scope,conclusion_of FROM alerts ";

struct Chosen {
  Json alert;
  const char* selection;
};

// The alert the request names; else the newest live incident; else, so that an
// exercise-only installation opens on something useful, the newest alert.
Chosen chosen_alert(Connection& conn, const Json& request) {
  if (!request.is_object()) throw DashboardInvalid("The dashboard request must be a JSON object.");
  const Json& id = member_or(request, "id", kNull);
  if (id.is_null()) {
    if (auto latest = conn.query_one(std::string(kAlertColumns) +
                                     "WHERE is_test=0 AND conclusion_of IS NULL ORDER BY created DESC LIMIT 1"))
      return {std::move(*latest), "latest_live_incident"};
    if (auto latest = conn.query_one(std::string(kAlertColumns) + "ORDER BY created DESC LIMIT 1"))
      return {std::move(*latest), "latest_alert"};
    throw DashboardInvalid("No alert or incident has been sent yet.");
  }
  if (!id.is_string()) throw DashboardInvalid("The alert id must be text.");
  auto found = conn.query_one(std::string(kAlertColumns) + "WHERE id=?", {id});
  if (!found) throw DashboardInvalid("Unknown alert or incident.");
  return {std::move(*found), "requested"};
}

}  // namespace

Json situation(Core& core, const Json& request) {
  const double now = core.clock().now();
  ConfigPtr cfg = core.config();
  const Json all_sites = core.sites();
  const Json all_departments = core.departments();
  const Directory directory(cfg->doc(), all_sites, all_departments);

  DbScope scope = core.db();
  Connection& conn = scope.conn();
  // A read transaction: every figure below comes from the same moment even
  // while receipts keep arriving. It takes no write lock.
  conn.exec("BEGIN");

  Chosen chosen = chosen_alert(conn, request);
  Json& alert = chosen.alert;
  const std::string alert_id = alert["id"].get<std::string>();
  const std::string lifecycle = lifecycle_of(alert, now);
  const bool is_test = alert["is_test"] != 0;
  const bool stand_down_alert = !alert["conclusion_of"].is_null();
  const bool live_incident = !is_test && !stand_down_alert;
  const char* kind = stand_down_alert ? "stand_down" : is_test ? "exercise" : "live_incident";
  const double created = alert["created"].is_number() ? alert["created"].get<double>() : 0.0;

  const std::unordered_map<std::string, double> last_seen = core.heartbeats().last_seen(conn);

  Tally totals;
  GroupedTally by_site("site", all_sites, core.site_labels());
  GroupedTally by_department("department", all_departments, core.department_labels());
  Json not_acknowledged = Json::array();
  Json silent = Json::array();
  std::vector<double> to_display, to_acknowledge;
  long long desktop_deliveries = 0;

  for (const Json& delivery :
       conn.query("SELECT recipient_id,channel,status,received,displayed,acknowledged FROM deliveries WHERE alert_id=? "
                  "ORDER BY rowid",
                  {alert_id})) {
    const std::string recipient = delivery["recipient_id"].get<std::string>();
    const std::string channel = delivery["channel"].get<std::string>();
    const std::string status = display_status(delivery, lifecycle);
    bool is_device = false;
    const Json* entry = directory.entry(recipient, channel, &is_device);
    const std::string name = directory.name(entry, is_device, recipient);
    const std::vector<std::string> sites = directory.sites(entry);
    const std::vector<std::string> departments = directory.departments(entry);

    totals.add(status);
    by_site.add(sites, status);
    by_department.add(departments, status);
    if (delivery["acknowledged"].is_null())
      not_acknowledged.push_back({{"recipient_id", recipient},
                                  {"name", name},
                                  {"channel", channel},
                                  {"display_status", status},
                                  {"sites", array_of(sites)},
                                  {"departments", array_of(departments)}});

    if (channel != "desktop") continue;
    ++desktop_deliveries;
    if (delivery["displayed"].is_number()) to_display.push_back(delivery["displayed"].get<double>() - created);
    if (delivery["acknowledged"].is_number())
      to_acknowledge.push_back(delivery["acknowledged"].get<double>() - created);
    // Only the latest poll is kept, so a computer that polled again after the
    // alert was created is judged by that later poll and counts as reachable.
    auto seen = last_seen.find(recipient);
    if (seen == last_seen.end() || created - seen->second > kSilentAfterSeconds)
      silent.push_back({{"id", recipient},
                        {"name", name},
                        {"last_seen", seen == last_seen.end() ? Json(nullptr) : Json(seen->second)}});
  }

  // Readers name the incident a stand-down concludes, not just its id.
  Json incident_title = nullptr;
  if (stand_down_alert)
    if (auto incident = conn.query_one("SELECT title FROM alerts WHERE id=?", {alert["conclusion_of"]}))
      incident_title = (*incident)["title"];

  Json stand_down = nullptr;
  if (live_incident) {
    stand_down = {{"alert_id", nullptr},
                  {"created", nullptr},
                  {"lifecycle", nullptr},
                  {"counts", nullptr},
                  {"acknowledged_fraction", nullptr}};
    if (auto found = conn.query_one(std::string(kAlertColumns) + "WHERE conclusion_of=?", {alert_id})) {
      const std::string stand_down_lifecycle = lifecycle_of(*found, now);
      Tally tally;
      for (const Json& delivery : conn.query(
               "SELECT channel,status,displayed,acknowledged FROM deliveries WHERE alert_id=?", {(*found)["id"]}))
        tally.add(display_status(delivery, stand_down_lifecycle));
      stand_down["alert_id"] = (*found)["id"];
      stand_down["created"] = (*found)["created"];
      stand_down["lifecycle"] = stand_down_lifecycle;
      stand_down["counts"] = tally.to_json();
      if (tally.total() > 0)
        stand_down["acknowledged_fraction"] =
            static_cast<double>(tally.count("acknowledged")) / static_cast<double>(tally.total());
    }
  }
  scope.commit();

  Json result = Json::object();
  result["as_of"] = now;
  result["selection"] = chosen.selection;
  result["alert"] = {{"id", alert_id},
                     {"title", alert["title"]},
                     {"kind", kind},
                     {"is_test", is_test},
                     {"created", alert["created"]},
                     {"expires", alert["expires"]},
                     {"lifecycle", lifecycle},
                     {"deployment_scope", alert["deployment_scope"]},
                     {"conclusion_of", alert["conclusion_of"]},
                     {"incident_title", std::move(incident_title)}};
  result["totals"] = totals.to_json();
  result["by_site"] = by_site.to_json();
  result["by_department"] = by_department.to_json();
  result["not_acknowledged"] = std::move(not_acknowledged);
  result["timing"] = {{"desktop_deliveries", desktop_deliveries},
                      {"to_display", delay_figures(std::move(to_display))},
                      {"to_acknowledge", delay_figures(std::move(to_acknowledge))}};
  result["silent_computers"] = std::move(silent);
  result["stand_down"] = std::move(stand_down);
  return result;
}

}  // namespace halvenor
