#include "companions/access/live_switch.h"

#include "base/errors.h"
#include "companions/access/access_manager.h"
#include "server/core/config_snapshot.h"
#include "server/core/core.h"

namespace halvenor {

Json switch_live_mode(Core& core, AccessManager& access, const std::string& actor, const Json& request) {
  if (!access.allowed(actor)) throw AccessDenied();
  const Json& live_value = member_or(request, "live", kNull);
  if (!live_value.is_boolean()) throw AccessInvalid("Choose live alerts or exercises only (\"live\": true or false).");
  const bool live = live_value.get<bool>();
  if (live) {
    if (!core.can_send_live(actor))
      throw AccessInvalid("Only an administrator who may send live alerts can switch live alerts back on.");
    if (member_or(request, "confirmation", kNull) != kLiveConfirmation)
      throw AccessInvalid(std::string("Type ") + kLiveConfirmation + " to switch live alerts back on.");
  }
  if (core.live_enabled() == live) return Json{{"ok", true}, {"live", live}, {"changed", false}};
  bool changed = false;
  access.update_config([&](Connection& conn, Json& doc) {
    if (Core::live_policy(doc) == live) return;
    Json& policy = doc["live_desktop"];
    if (!policy.is_object()) policy = Json::object();
    policy["enabled"] = live;
    try {
      Core::live_policy(doc);
    } catch (const Invalid& e) {
      throw AccessInvalid(std::string("Live alerts cannot be switched on: ") + e.what() + ".");
    }
    core.audit(conn, actor, "live_desktop.switched", Json{{"live", live}});
    changed = true;
  });
  return Json{{"ok", true}, {"live", core.live_enabled()}, {"changed", changed}};
}

}  // namespace halvenor
