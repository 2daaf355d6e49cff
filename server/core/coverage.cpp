#include "server/core/coverage.h"

#include <algorithm>
#include <tuple>
#include <unordered_map>
#include <unordered_set>

#include "server/core/directory_defaults.h"

namespace halvenor {

Json desktop_coverage(Core& core, const ConfigSnapshot& config, const std::vector<DeliveryTarget>& targets) {
  std::unordered_set<std::string> wanted;
  for (const DeliveryTarget& target : targets) {
    if (target.channel == "desktop") wanted.insert(target.recipient_id);
  }
  std::unordered_map<std::string, double> last_seen;
  {
    DbScope scope = core.db();
    last_seen = core.heartbeats().last_seen(scope.conn());
  }
  const double since = core.clock().now() - kRecentlySeenSeconds;
  std::vector<Json> silent;
  std::size_t reachable = 0;
  for (const Json& device : config.doc().at("devices")) {
    const std::string id = device.at("id").get<std::string>();
    if (wanted.count(id) == 0) continue;
    const auto seen = last_seen.find(id);
    if (seen != last_seen.end() && seen->second >= since) {
      ++reachable;
      continue;
    }
    silent.push_back(Json{{"id", id},
                          {"name", device_display_name(device)},
                          {"site", device.value("site", Json(nullptr))},
                          {"department", device.value("department", Json(nullptr))},
                          {"last_seen", seen == last_seen.end() ? Json(nullptr) : Json(seen->second)}});
  }
  const auto key = [](const Json& entry) {
    return std::tuple(json::field_text(entry["department"]), entry["name"].get<std::string>());
  };
  std::sort(silent.begin(), silent.end(), [&](const Json& a, const Json& b) { return key(a) < key(b); });
  Json list = Json::array();
  for (Json& entry : silent) list.push_back(std::move(entry));
  return Json{{"computers", wanted.size()},
              {"seen_recently", reachable},
              {"window_seconds", kRecentlySeenSeconds},
              {"silent", std::move(list)}};
}

}  // namespace halvenor
