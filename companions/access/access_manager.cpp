#include "companions/access/access_manager.h"

#include "server/core/core.h"
#include "server/core/errors.h"

namespace halvenor {
namespace {

// Keys that hold credentials; they never leave the server in a view.
Json without_credentials(const Json& entry) {
  Json copy = entry;
  if (copy.is_object()) {
    copy.erase("token");
    copy["has_token"] = entry.contains("token");
  }
  return copy;
}

Json list_without_credentials(const Json& doc, const char* key) {
  Json out = Json::array();
  for (const Json& entry : member_or(doc, key, kEmptyArray)) out.push_back(without_credentials(entry));
  return out;
}

}  // namespace

AccessManager::AccessManager(Core& core, std::string config_path)
    : core_(core), config_path_(std::move(config_path)) {}

bool AccessManager::allowed(const std::string& actor) {
  ConfigPtr cfg = core_.config();
  for (const Json& user : member_or(cfg->doc(), "users", kEmptyArray)) {
    if (member_or(user, "id", kNull) != actor) continue;
    return truthy(member_or(user, "enabled", kTrue)) && !truthy(member_or(user, "removed", kFalse)) &&
           exactly_true(member_or(user, "can_manage_users", kNull));
  }
  return false;
}

Json AccessManager::view(const std::string& actor) {
  if (!allowed(actor)) throw AccessDenied();
  ConfigPtr cfg = core_.config();
  const Json& doc = cfg->doc();
  return Json{{"users", list_without_credentials(doc, "users")},
              {"roles", Json::array({"operator", "auditor"})},
              {"devices", list_without_credentials(doc, "devices")},
              {"contacts", member_or(doc, "contacts", kEmptyArray)},
              {"groups", member_or(doc, "groups", kEmptyArray)},
              {"sites", core_.sites()},
              {"departments", core_.departments()}};
}

Json AccessManager::change(const std::string& actor, const Json& /*request*/, const std::string& /*base_url*/) {
  if (!allowed(actor)) throw AccessDenied();
  std::lock_guard lock(change_mutex_);
  throw AccessInvalid("Directory changes from the dashboard are not available in this release yet.");
}

}  // namespace halvenor
