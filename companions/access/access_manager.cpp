#include "companions/access/access_manager.h"

#include <map>

#include "base/errors.h"
#include "companions/access/directory_change.h"
#include "net/private_files.h"
#include "server/core/core.h"
#include "server/core/directory_views.h"

namespace halvenor {
namespace {

const Json kRoles = Json::array({"operator", "auditor"});
const Json kPermissions = Json::array({"can_manage_users", "can_send_live", "can_send_sms", "can_send_whatsapp"});

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

bool AccessManager::allowed(const std::string& actor) { return may_manage_users(core_.config()->doc(), actor); }

// Each computer with the time its agent last polled and the agent version it
// last reported (null when never), so that the administrator sees which
// computers are really running, and what.
Json AccessManager::devices_with_last_contact(const Json& doc) {
  std::map<std::string, Json> seen, versions;
  {
    DbScope scope(core_.database());
    for (const auto& [device, when] : core_.heartbeats().last_seen(scope.conn())) seen[device] = when;
    for (Json& row : scope->query("SELECT device_id, version FROM setup_agent_versions"))
      versions[row["device_id"].get<std::string>()] = row["version"];
  }
  auto lookup = [](const std::map<std::string, Json>& rows, const Json& id) {
    auto it = id.is_string() ? rows.find(id.get<std::string>()) : rows.end();
    return it == rows.end() ? Json(nullptr) : it->second;
  };
  Json devices = list_without_credentials(doc, "devices");
  for (Json& device : devices) {
    device["last_seen"] = lookup(seen, member_or(device, "id", kNull));
    device["agent_version"] = lookup(versions, member_or(device, "id", kNull));
  }
  return devices;
}

Json AccessManager::view(const std::string& actor) {
  if (!allowed(actor)) throw AccessDenied();
  ConfigPtr cfg = core_.config();
  const Json& doc = cfg->doc();
  return Json{{"users", list_without_credentials(doc, "users")},
              {"roles", kRoles},
              {"permissions", kPermissions},
              {"devices", devices_with_last_contact(doc)},
              {"contacts", member_or(doc, "contacts", kEmptyArray)},
              {"groups", member_or(doc, "groups", kEmptyArray)},
              {"sites", core_.sites()},
              {"site_labels", core_.site_labels()},
              {"departments", core_.departments()},
              {"department_labels", core_.department_labels()},
              {"use_default_departments", truthy(member_or(doc, "use_default_departments", kTrue))},
              {"organisation_sign_in", organisation_sign_in_enabled(doc)}};
}

Json AccessManager::change(const std::string& actor, const Json& request, const std::string& base_url) {
  if (!allowed(actor)) throw AccessDenied();
  std::lock_guard lock(change_mutex_);
  // Re-read under the lock: the snapshot may have been replaced while this
  // request waited.
  Json doc = core_.config()->doc();
  DirectoryChange change = apply_directory_change(doc, request, core_.random());
  if (change.token && member_or(request, "kind", kNull) == "device") change.result["server_url"] = base_url;
  commit(actor, change.event, change.detail, std::move(doc));
  return change.result;
}

void AccessManager::update_config(const std::function<void(Connection& conn, Json& doc)>& edit) {
  std::lock_guard lock(change_mutex_);
  Json doc = core_.config()->doc();
  const std::size_t managers_before = directory_managers(doc);
  DbScope scope(core_.database());
  scope.begin_immediate();
  edit(scope.conn(), doc);
  if (managers_before > 0 && directory_managers(doc) == 0)
    throw AccessInvalid("This change would leave no enabled user who can manage users.");
  setup::private_write(config_path_, json::indented(doc));
  scope.commit();
  core_.replace_config(std::move(doc));
}

void AccessManager::commit(const std::string& actor, const std::string& event, const Json& detail, Json doc) {
  DbScope scope(core_.database());
  scope.begin_immediate();
  core_.audit(scope.conn(), actor, event, detail);
  // The file is replaced before the commit so that an audited change is
  // always on disk; a failed write rolls the audit event back.
  setup::private_write(config_path_, json::indented(doc));
  scope.commit();
  core_.replace_config(std::move(doc));
}

}  // namespace halvenor
