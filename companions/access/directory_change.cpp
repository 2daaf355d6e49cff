#include "companions/access/directory_change.h"

#include <cctype>
#include <set>

#include "base/digest.h"
#include "base/errors.h"
#include "base/text.h"
#include "server/core/config_snapshot.h"
#include "server/core/directory_defaults.h"
#include "server/core/directory_views.h"

namespace halvenor {
namespace {

constexpr char kBothSites[] = "BOTH";
constexpr std::size_t kMinPhoneDigits = 7;
constexpr std::size_t kMaxPhoneDigits = 15;

enum class Kind { User, Device, Contact, Group };

struct KindInfo {
  const char* name;   // in requests and audit events
  const char* list;   // configuration key
  const char* label;  // in messages
};

const KindInfo& info(Kind kind) {
  static const KindInfo kInfo[] = {{"user", "users", "User"},
                                   {"device", "devices", "Receiving computer"},
                                   {"contact", "contacts", "Contact"},
                                   {"group", "groups", "Group"}};
  return kInfo[static_cast<int>(kind)];
}

[[noreturn]] void refuse(const std::string& message) { throw AccessInvalid(message); }

void check_id(const Json& id) {
  if (!id.is_string()) refuse("An identifier is required.");
  const std::string& s = id.get_ref<const std::string&>();
  bool ok = !s.empty() && s.size() <= kMaxDirectoryIdLength && std::isalnum(static_cast<unsigned char>(s[0]));
  for (unsigned char c : s) ok = ok && (std::isalnum(c) || c == '.' || c == '_' || c == '-' || c == '@');
  if (!ok)
    refuse("Identifiers use 1-128 letters, digits, dots, hyphens, underscores or @, starting with a letter or digit.");
}

void check_name(const Json& value, const char* what, std::size_t limit) {
  if (!value.is_string()) refuse(std::string(what) + " must be text.");
  const std::string& s = value.get_ref<const std::string&>();
  bool control = false;
  for (unsigned char c : s) control = control || c < 0x20 || c == 0x7F;
  if (trim(s).empty() || code_points(s) > limit || control)
    refuse(std::string(what) + ": enter up to " + std::to_string(limit) + " characters, without line breaks.");
}

void check_bool(const Json& value, const std::string& key) {
  if (!value.is_boolean()) refuse("\"" + key + "\" must be true or false.");
}

Json configured_sites(const Json& doc) {
  if (auto it = doc.find("sites"); it != doc.end() && it->is_array()) return *it;
  return nullptr;  // derived from the entries: any site name is acceptable
}

Json department_list(const Json& doc) {
  Json result = Json::array();
  std::set<std::string> seen;
  auto add = [&](const Json& name) {
    if (name.is_string() && seen.insert(name.get<std::string>()).second) result.push_back(name);
  };
  if (truthy(member_or(doc, "use_default_departments", kTrue)))
    for (const char* name : DEPARTMENTS) add(name);
  for (const Json& name : member_or(doc, "departments", kEmptyArray)) add(name);
  return result;
}

bool contains(const Json& list, const Json& value) {
  for (const Json& item : list)
    if (item == value) return true;
  return false;
}

void check_site(const Json& doc, const Json& site) {
  check_name(site, "Site", kMaxDisplayNameLength);
  Json sites = configured_sites(doc);
  if (site != kBothSites && sites.is_array() && !contains(sites, site))
    refuse("Unknown site \"" + site.get<std::string>() + "\"; add it to the sites first.");
}

void check_department(const Json& doc, const Json& department) {
  check_name(department, "Department", kMaxDisplayNameLength);
  if (!contains(department_list(doc), department))
    refuse("Unknown department \"" + department.get<std::string>() + "\"; add it to the departments first.");
}

template <typename F>
void check_list(const Json& value, const std::string& key, F each) {
  if (!value.is_array() || value.empty()) refuse("\"" + key + "\" must be a non-empty list.");
  std::set<std::string> seen;
  for (const Json& item : value) {
    each(item);
    if (!seen.insert(json::field_text(item)).second) refuse("\"" + key + "\" lists an entry twice.");
  }
}

bool clock_time(const Json& value) {
  if (!value.is_string()) return false;
  const std::string& s = value.get_ref<const std::string&>();
  return s.size() == 5 && s[2] == ':' && std::isdigit(static_cast<unsigned char>(s[0])) &&
         std::isdigit(static_cast<unsigned char>(s[1])) && std::isdigit(static_cast<unsigned char>(s[3])) &&
         std::isdigit(static_cast<unsigned char>(s[4])) && std::stoi(s.substr(0, 2)) < 24 &&
         std::stoi(s.substr(3, 2)) < 60;
}

// Device and contact ids share one name space: groups list both.
bool recipient_exists(const Json& doc, const Json& id) {
  for (const char* list : {"devices", "contacts"})
    for (const Json& entry : member_or(doc, list, kEmptyArray))
      if (member_or(entry, "id", kNull) == id) return true;
  return false;
}

// A new id must not name anything the directory already holds, of any kind
// and in any letter case: the audit trail and the dashboard name actors and
// recipients by id alone, so "Ward7" beside "ward7" would be two identities
// behind one name. Ids are ASCII (check_id), so ASCII folding is enough.
bool id_taken(const Json& doc, const std::string& id) {
  auto folded = [](std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
  };
  const std::string wanted = folded(id);
  for (const char* list : {"users", "devices", "contacts", "groups"}) {
    const Json& entries = member_or(doc, list, kEmptyArray);
    if (!entries.is_array()) continue;
    for (const Json& entry : entries) {
      const Json& other = member_or(entry, "id", kNull);
      if (other.is_string() && folded(other.get<std::string>()) == wanted) return true;
    }
  }
  return false;
}

// Checks one field of an entry of `kind`; null means "remove the key".
void check_field(Kind kind, const Json& doc, const std::string& key, const Json& value) {
  if (value.is_null()) return;
  if (key == "display_name") return check_name(value, "Display name", kMaxDisplayNameLength);
  if (key == "enabled") return check_bool(value, key);
  switch (kind) {
    case Kind::User:
      if (key == "role") {
        if (value != "operator" && value != "auditor") refuse("Role must be \"operator\" or \"auditor\".");
        return;
      }
      if (key == "can_manage_users" || key == "can_send_live" || key == "can_send_sms" || key == "can_send_whatsapp")
        return check_bool(value, key);
      if (key == "identity_provider") {
        if (value != "entra") refuse("\"identity_provider\" must be \"entra\" (organisation sign-in) or null.");
        return;
      }
      if (key == "organisation_subject") return check_name(value, "Organisation account", kMaxSubjectLength);
      break;
    case Kind::Device:
    case Kind::Contact:
      if (key == "site") return check_site(doc, value);
      if (key == "sites") return check_list(value, key, [&](const Json& s) { check_site(doc, s); });
      if (key == "department") return check_department(doc, value);
      if (key == "departments") return check_list(value, key, [&](const Json& d) { check_department(doc, d); });
      if (kind == Kind::Device) {
        if (key == "computer_id") return check_name(value, "Computer name", kMaxDisplayNameLength);
        if (key == "allow_live_desktop") return check_bool(value, key);
        break;
      }
      if (key == "phone") {
        const std::string s = value.is_string() ? value.get<std::string>() : std::string();
        bool ok = s.size() >= kMinPhoneDigits + 1 && s.size() <= kMaxPhoneDigits + 1 && s[0] == '+' && s[1] != '0';
        for (std::size_t i = 1; ok && i < s.size(); ++i) ok = std::isdigit(static_cast<unsigned char>(s[i])) != 0;
        if (!ok) refuse("Phone numbers are written in international form: + and 7-15 digits.");
        return;
      }
      if (key == "channels")
        return check_list(value, key, [](const Json& c) {
          if (c != "sms" && c != "whatsapp") refuse("Contact channels are \"sms\" and \"whatsapp\".");
        });
      if (key == "account_id") return check_name(value, "Account", kMaxDirectoryIdLength);
      if (key == "on_call") {
        const Json& days = member_or(value, "days", kNull);
        bool ok = value.is_object() && clock_time(member_or(value, "start", kNull)) &&
                  clock_time(member_or(value, "end", kNull)) && (days.is_null() || days.is_array());
        for (const Json& d : days.is_array() ? days : kEmptyArray)
          ok = ok && (d == "sun" || d == "mon" || d == "tue" || d == "wed" || d == "thu" || d == "fri" || d == "sat");
        if (!ok) refuse("On-call hours need \"start\" and \"end\" as HH:MM and optional days (\"mon\" ... \"sun\").");
        return;
      }
      break;
    case Kind::Group:
      if (key == "name") return check_name(value, "Group name", kMaxDisplayNameLength);
      if (key == "members") {
        if (!value.is_array() || value.size() > kMaxGroupMembers) refuse("\"members\" must be a list.");
        std::set<std::string> seen;
        for (const Json& m : value) {
          if (!m.is_string() || !recipient_exists(doc, m))
            refuse("Group members must be existing receiving computers or contacts.");
          if (!seen.insert(m.get<std::string>()).second) refuse("\"members\" lists an entry twice.");
        }
        return;
      }
      break;
  }
  refuse("\"" + key + "\" cannot be set on a " + std::string(info(kind).name) + ".");
}

Json& list_of(Json& doc, Kind kind) {
  Json& list = doc[info(kind).list];
  if (list.is_null()) list = Json::array();
  if (!list.is_array()) refuse(std::string("The configuration's \"") + info(kind).list + "\" is not a list.");
  return list;
}

Json* find_entry(Json& doc, Kind kind, const Json& id) {
  for (Json& entry : list_of(doc, kind))
    if (member_or(entry, "id", kNull) == id) return &entry;
  return nullptr;
}

Json& existing_entry(Json& doc, Kind kind, const Json& id) {
  check_id(id);
  Json* entry = find_entry(doc, kind, id);
  if (!entry) refuse(std::string(info(kind).label) + " \"" + id.get<std::string>() + "\" does not exist.");
  return *entry;
}

bool signs_in_with_credential(Kind kind, const Json& entry) {
  return kind == Kind::Device || (kind == Kind::User && !UserView(entry).signs_in_through_organisation());
}

// What the administrator sees of an entry: never its credential.
Json shown(const Json& entry) {
  Json copy = entry;
  copy.erase("token");
  copy["has_token"] = entry.contains("token");
  return copy;
}

// Entries that still need a site or department after `name` is gone.
bool in_use(const Json& doc, const char* single, const char* multiple, const Json& name) {
  for (const char* list : {"devices", "contacts"})
    for (const Json& entry : member_or(doc, list, kEmptyArray)) {
      if (EntryView(entry).removed()) continue;
      if (member_or(entry, single, kNull) == name || contains(member_or(entry, multiple, kEmptyArray), name))
        return true;
    }
  return false;
}

DirectoryChange entry_change(Json& doc, Kind kind, const std::string& action, const Json& request,
                             RandomSource& random) {
  const KindInfo& k = info(kind);
  DirectoryChange change;
  const bool credentialled = kind == Kind::User || kind == Kind::Device;
  auto finish = [&](const char* verb, Json& entry) {
    change.event = std::string("access.") + k.name + "." + verb;
    change.detail["id"] = entry["id"];
    change.result = {{"ok", true}, {"kind", k.name}, {"id", entry["id"]}, {"entry", shown(entry)}};
    if (change.token) change.result["token"] = *change.token;
  };
  auto new_token = [&](Json& entry) {
    change.token = random_token(random, kDirectoryTokenBytes);
    entry["token"] = *change.token;
  };

  if (action == "add" || (kind == Kind::Device && action == "enrol")) {
    const Json& given = member_or(request, "entry", kNull);
    if (!given.is_object()) refuse("\"entry\" must be an object.");
    check_id(member_or(given, "id", kNull));
    if (find_entry(doc, kind, given["id"]) || id_taken(doc, given["id"].get<std::string>()))
      refuse("\"" + given["id"].get<std::string>() + "\" is already in use.");
    Json entry = Json::object();
    entry["id"] = given["id"];
    for (auto it = given.begin(); it != given.end(); ++it) {
      if (it.key() == "id") continue;
      if (it.key() == "token") refuse("Credentials are created by the server, never entered.");
      check_field(kind, doc, it.key(), it.value());
      if (!it.value().is_null()) entry[it.key()] = it.value();
    }
    if (kind == Kind::User && !entry.contains("role")) refuse("Choose a role: \"operator\" or \"auditor\".");
    if ((kind == Kind::Device || kind == Kind::Contact) && !entry.contains("site") && !entry.contains("sites"))
      refuse("Choose the site.");
    if (kind == Kind::Contact && (!entry.contains("phone") || !entry.contains("channels")))
      refuse("A contact needs a phone number and at least one channel.");
    if (kind == Kind::Group && !entry.contains("members")) entry["members"] = Json::array();
    if (!entry.contains("display_name") && kind != Kind::Group) entry["display_name"] = entry["id"];
    if (!entry.contains("enabled") && kind != Kind::Group) entry["enabled"] = true;
    if (signs_in_with_credential(kind, entry)) new_token(entry);
    list_of(doc, kind).push_back(std::move(entry));
    Json& added = list_of(doc, kind).back();
    finish(kind == Kind::Device ? "enrolled" : "added", added);
    change.detail["entry"] = shown(added);
    return change;
  }

  Json& entry = existing_entry(doc, kind, member_or(request, "id", kNull));
  if (action == "edit") {
    const Json& changes = member_or(request, "changes", kNull);
    if (!changes.is_object() || changes.empty()) refuse("\"changes\" must be an object with at least one member.");
    Json before = Json::object();
    for (auto it = changes.begin(); it != changes.end(); ++it) {
      if (it.key() == "id" || it.key() == "token" || it.key() == "removed")
        refuse("\"" + it.key() + "\" cannot be edited; use its own action.");
      if (it.value().is_null() && ((kind == Kind::User && it.key() == "role") || it.key() == "members"))
        refuse("\"" + it.key() + "\" cannot be removed.");
      check_field(kind, doc, it.key(), it.value());
      before[it.key()] = member_or(entry, it.key().c_str(), kNull);
      if (it.value().is_null())
        entry.erase(it.key());
      else
        entry[it.key()] = it.value();
    }
    if ((kind == Kind::Device || kind == Kind::Contact) && !entry.contains("site") && !entry.contains("sites"))
      refuse("Choose the site.");
    // A user moved from organisation sign-in to a stored credential needs one.
    if (signs_in_with_credential(kind, entry) && !member_or(entry, "token", kNull).is_string()) new_token(entry);
    finish("edited", entry);
    change.detail["before"] = before;
    change.detail["after"] = changes;
    return change;
  }
  if (kind != Kind::Group && (action == "disable" || action == "enable")) {
    entry["enabled"] = action == "enable";
    finish(action == "enable" ? "enabled" : "disabled", entry);
    return change;
  }
  if (action == "remove") {
    if (kind == Kind::Group) {
      Json& list = list_of(doc, kind);
      Json id = entry["id"];
      for (auto it = list.begin(); it != list.end(); ++it)
        if (member_or(*it, "id", kNull) == id) {
          list.erase(it);
          break;
        }
      change.event = "access.group.removed";
      change.detail["id"] = id;
      change.result = {{"ok", true}, {"kind", k.name}, {"id", id}};
      return change;
    }
    entry["removed"] = true;
    entry["enabled"] = false;
    finish("removed", entry);
    return change;
  }
  if (kind != Kind::Group && action == "restore") {
    entry["removed"] = false;
    entry["enabled"] = true;
    if (signs_in_with_credential(kind, entry) && !member_or(entry, "token", kNull).is_string()) new_token(entry);
    finish("restored", entry);
    return change;
  }
  if (credentialled && action == "rotate_token") {
    if (!signs_in_with_credential(kind, entry))
      refuse("This user signs in through the organisation and has no stored credential.");
    new_token(entry);
    finish("token_rotated", entry);
    return change;
  }
  refuse("Unknown change \"" + action + "\" for a " + k.name + ".");
}

void set_label(Json& doc, const char* labels_key, const std::string& name, const Json& label) {
  Json& labels = doc[labels_key];
  if (!labels.is_object()) labels = Json::object();
  if (label.is_null() || (label.is_string() && label.get_ref<const std::string&>().empty())) {
    labels.erase(name);
    return;
  }
  check_name(label, "Label", kMaxDisplayNameLength);
  labels[name] = label;
}

DirectoryChange vocabulary_change(Json& doc, bool site, const std::string& action, const Json& request) {
  DirectoryChange change;
  const char* noun = site ? "site" : "department";
  change.event = std::string("access.") + noun + "." + action;
  if (!site && action == "use_defaults") {
    const Json& enabled = member_or(request, "enabled", kNull);
    check_bool(enabled, "enabled");
    if (!enabled.get<bool>())
      for (const char* name : DEPARTMENTS) {
        if (contains(member_or(doc, "departments", kEmptyArray), name)) continue;
        if (in_use(doc, "department", "departments", name))
          refuse(std::string("The built-in department \"") + name + "\" is still assigned; reassign it first.");
      }
    doc["use_default_departments"] = enabled;
    change.detail = {{"use_default_departments", enabled}};
    change.result = {{"ok", true}, {"use_default_departments", enabled}};
    return change;
  }
  const Json& name = member_or(request, "name", kNull);
  check_name(name, site ? "Site" : "Department", kMaxDisplayNameLength);
  const std::string n = name.get<std::string>();
  if (site && n == kBothSites) refuse("\"BOTH\" is reserved for entries that belong to every site.");
  const char* list_key = site ? "sites" : "departments";
  const char* labels_key = site ? "site_labels" : "department_labels";
  Json known = site ? configured_sites(doc) : department_list(doc);
  if (site && known.is_null()) {
    // The list was derived from the entries; from now on it is kept explicitly.
    std::set<std::string> derived;
    for (const char* list : {"devices", "contacts"})
      for (const Json& entry : member_or(doc, list, kEmptyArray)) {
        const Json& s = member_or(entry, "site", kNull);
        if (s.is_string() && !s.get_ref<const std::string&>().empty() && s != kBothSites) derived.insert(s.get<std::string>());
      }
    known = Json(derived);
  }
  change.detail = {{"name", n}};
  change.result = {{"ok", true}, {"kind", noun}, {"name", n}};

  if (action == "add") {
    if (contains(known, name)) refuse(std::string(site ? "Site" : "Department") + " \"" + n + "\" already exists.");
    if (site) {
      known.push_back(name);
      doc["sites"] = known;
    } else {
      Json& configured = doc["departments"];
      if (!configured.is_array()) configured = Json::array();
      configured.push_back(name);
    }
    if (request.contains("label")) set_label(doc, labels_key, n, request["label"]);
    change.event = std::string("access.") + noun + ".added";
    return change;
  }
  if (!contains(known, name)) refuse(std::string(site ? "Site" : "Department") + " \"" + n + "\" does not exist.");
  if (action == "label") {
    set_label(doc, labels_key, n, member_or(request, "label", kNull));
    change.event = std::string("access.") + noun + ".labelled";
    change.detail["label"] = member_or(request, "label", kNull);
    return change;
  }
  if (action == "remove") {
    if (!site && !contains(member_or(doc, "departments", kEmptyArray), name))
      refuse("Built-in departments cannot be removed one by one; turn the built-in list off instead.");
    if (in_use(doc, site ? "site" : "department", site ? "sites" : "departments", name))
      refuse(std::string(site ? "Site" : "Department") + " \"" + n + "\" is still assigned; reassign its entries first.");
    Json remaining = Json::array();
    for (const Json& item : site ? known : doc["departments"])
      if (item != name) remaining.push_back(item);
    doc[list_key] = remaining;
    if (doc.contains(labels_key) && doc[labels_key].is_object()) doc[labels_key].erase(n);
    change.event = std::string("access.") + noun + ".removed";
    return change;
  }
  refuse("Unknown change \"" + action + "\" for a " + noun + ".");
}

}  // namespace

void check_device_field(const Json& doc, const std::string& key, const Json& value) {
  check_field(Kind::Device, doc, key, value);
}

bool directory_id_taken(const Json& doc, const std::string& id) { return id_taken(doc, id); }

std::size_t directory_managers(const Json& doc) {
  const bool organisation = organisation_sign_in_enabled(doc);
  std::size_t count = 0;
  for (const Json& user : member_or(doc, "users", kEmptyArray)) {
    const UserView view(user);
    if (!view.may_manage_users()) continue;
    const bool can_sign_in =
        view.signs_in_through_organisation() ? organisation : member_or(user, "token", kNull).is_string();
    if (can_sign_in) ++count;
  }
  return count;
}

DirectoryChange apply_directory_change(Json& doc, const Json& request, RandomSource& random) {
  if (!request.is_object()) refuse("Invalid directory change.");
  const Json& kind = member_or(request, "kind", kNull);
  const Json& action_value = member_or(request, "action", kNull);
  if (!action_value.is_string()) refuse("Choose what to change (\"action\").");
  const std::string action = action_value.get<std::string>();
  const std::size_t managers_before = directory_managers(doc);

  DirectoryChange change;
  if (kind == "user") change = entry_change(doc, Kind::User, action, request, random);
  else if (kind == "device") change = entry_change(doc, Kind::Device, action, request, random);
  else if (kind == "contact") change = entry_change(doc, Kind::Contact, action, request, random);
  else if (kind == "group") change = entry_change(doc, Kind::Group, action, request, random);
  else if (kind == "site") change = vocabulary_change(doc, true, action, request);
  else if (kind == "department") change = vocabulary_change(doc, false, action, request);
  else refuse("Unknown kind of directory entry; use user, device, contact, group, site or department.");

  if (managers_before > 0 && directory_managers(doc) == 0)
    refuse("This change would leave no enabled user who can manage users. Give another user that permission first.");
  return change;
}

}  // namespace halvenor
