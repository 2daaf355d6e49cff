// Directory look-ups and recipient targeting.
#include <algorithm>
#include <set>
#include <unordered_set>

#include "base/errors.h"
#include "server/core/contact_directory.h"
#include "server/core/core.h"
#include "server/core/directory_defaults.h"
#include "server/core/directory_views.h"

namespace halvenor {
namespace {


// The site or department set of a directory entry: the list when present,
// otherwise the single value.
std::vector<Json> entry_set(const Json& entry, const char* list_key, const char* single_key) {
  if (auto it = entry.find(list_key); it != entry.end()) {
    if (!it->is_array()) throw RequestError(std::string(list_key) + " must be a list");
    return std::vector<Json>(it->begin(), it->end());
  }
  if (auto it = entry.find(single_key); it != entry.end()) return {*it};
  return {Json()};
}

bool intersects(const std::vector<Json>& values, const std::vector<std::string>& wanted) {
  for (const Json& v : values)
    if (v.is_string() && std::find(wanted.begin(), wanted.end(), v.get<std::string>()) != wanted.end())
      return true;
  return false;
}

}  // namespace

std::string device_display_name(const Json& device) { return ComputerView(device).display_name(); }

bool Core::can_send_live(const std::string& actor) const {
  ConfigPtr cfg = config();
  auto user = find_user(required(cfg->doc(), "users"), actor);
  return user && required(user->json(), "role") == "operator" && user->granted("can_send_live") && user->active();
}

Json Core::sites_of(const Json& doc) {
  const Json& devices = required(doc, "devices");
  const Json& contacts = required(doc, "contacts");
  if (auto it = doc.find("sites"); it != doc.end() && it->is_array()) return *it;
  std::set<std::string> derived;  // std::string orders UTF-8 bytes, i.e. by code point
  for (const Json* list : {&devices, &contacts}) {
    for (const Json& entry : *list) {
      const Json& site = member_or(entry, "site", kNull);
      if (site.is_string() && !site.get<std::string>().empty() && site != "BOTH")
        derived.insert(site.get<std::string>());
    }
  }
  return Json(derived);
}

Json Core::sites() const { return sites_of(config()->doc()); }

Json Core::site_labels() const { return site_labels_of(config()->doc()); }

Json Core::site_labels_of(const Json& doc) {
  const Json& labels = member_or(doc, "site_labels", kEmptyObject);
  Json result = Json::object();
  for (const Json& site : sites_of(doc)) {
    std::string key = site.is_string() ? site.get<std::string>() : json::field_text(site);
    result[key] = labels.is_object() && labels.contains(key) ? labels[key] : site;
  }
  return result;
}

Json Core::departments_of(const Json& doc) {
  Json result = Json::array();
  std::unordered_set<std::string> seen;
  auto add = [&](const Json& name) {
    std::string key = json::field_text(name);
    if (seen.insert(key).second) result.push_back(name);
  };
  if (truthy(member_or(doc, "use_default_departments", kTrue)))
    for (const char* name : DEPARTMENTS) add(name);
  for (const Json& name : member_or(doc, "departments", kEmptyArray)) add(name);
  return result;
}

Json Core::departments() const { return departments_of(config()->doc()); }

Json Core::department_labels() const { return department_labels_of(config()->doc()); }

Json Core::department_labels_of(const Json& doc) {
  Json result = truthy(member_or(doc, "use_default_departments", kTrue)) ? DEPARTMENT_LABELS() : Json::object();
  const Json& configured = member_or(doc, "department_labels", kEmptyObject);
  if (configured.is_object())
    for (auto it = configured.begin(); it != configured.end(); ++it) result[it.key()] = it.value();
  return result;
}

std::vector<const Json*> Core::recipients(const ConfigSnapshot& config, const Json& data) const {
  const Json& doc = config.doc();
  std::vector<std::string> requested[3];
  const char* keys[3] = {"sites", "departments", "groups"};
  for (int k = 0; k < 3; ++k) {
    const Json& list = member_or(data, keys[k], kEmptyArray);
    if (!list.is_array()) throw Invalid("Targets must be lists");
    for (const Json& item : list) {
      if (!item.is_string()) throw Invalid("Targets must be lists");
      requested[k].push_back(item.get<std::string>());
    }
  }
  const auto& [sites, departments, groups] = requested;

  Json known_sites = sites_of(doc);
  Json known_departments = departments_of(doc);
  auto contains = [](const Json& list, const std::string& value) {
    return std::find(list.begin(), list.end(), Json(value)) != list.end();
  };
  bool sites_ok = !sites.empty() && std::all_of(sites.begin(), sites.end(),
                                                [&](const auto& s) { return contains(known_sites, s); });
  bool departments_ok = std::all_of(departments.begin(), departments.end(),
                                    [&](const auto& d) { return contains(known_departments, d); });
  if (!sites_ok || !departments_ok) throw Invalid("Choose configured sites and valid departments");

  const Json& group_entries = required(doc, "groups");
  std::unordered_set<std::string> members;
  for (const std::string& wanted : groups) {
    bool found = false;
    for (const Json& group : group_entries) {
      if (required(group, "id") != wanted) continue;
      found = true;
      for (const Json& member : GroupView(group).members())
        if (member.is_string()) members.insert(member.get<std::string>());
    }
    if (!found) throw Invalid("Unknown group");
  }

  std::vector<const Json*> kept;
  const double now = clock_->now();
  for (const Json* list : {&required(doc, "devices"), &required(doc, "contacts")}) {
    for (const Json& entry : *list) {
      const bool takes_part = entry.contains("channels") ? contact_active(entry, doc, now) : EntryView(entry).active();
      if (!takes_part) continue;
      bool everywhere = member_or(entry, "site", kNull) == "BOTH";
      if (!everywhere && !intersects(entry_set(entry, "sites", "site"), sites)) continue;
      if (!departments.empty() && !intersects(entry_set(entry, "departments", "department"), departments))
        continue;
      if (!groups.empty()) {
        const Json& id = member_or(entry, "id", kNull);
        if (!id.is_string() || !members.count(id.get<std::string>())) continue;
      }
      kept.push_back(&entry);
    }
  }
  return kept;
}

}  // namespace halvenor
