// One administrator's change to the directory part of the configuration
// document: users, receiving computers (devices), mobile contacts, groups,
// sites and departments.
//
// Request form (JSON object):
//   {"kind": "user" | "device" | "contact" | "group", "action": A, ...}
//     "add"           {"entry": {...}}           ("enrol" is the same for devices)
//     "edit"          {"id", "changes": {...}}   a null value removes an optional key
//     "disable", "enable", "remove", "restore"   {"id"} (not for groups)
//     "remove"        for a group deletes it      {"id"}
//     "rotate_token"  {"id"} users (not organisation sign-in ones) and devices
//   {"kind": "site", "action": "add" | "label" | "remove", "name", "label"?}
//   {"kind": "department", "action": "add" | "label" | "remove", "name", "label"?}
//   {"kind": "department", "action": "use_defaults", "enabled": true | false}
//
// Fields an entry may carry (anything else is refused):
//   user     id, display_name, role ("operator" | "auditor"), enabled,
//            can_manage_users, can_send_live, can_send_sms, can_send_whatsapp
//            (booleans), identity_provider (null or "entra"),
//            organisation_subject (the provider's claim value for this person)
//   device   id, display_name, computer_id, site | sites, department |
//            departments, allow_live_desktop, enabled
//   contact  id, display_name, phone (+ and 7-15 digits), channels ("sms",
//            "whatsapp"), site | sites, department | departments, account_id,
//            on_call ({"start": "HH:MM", "end": "HH:MM", "days"?}), enabled
//   group    id, name, display_name, members (device and contact ids)
// Sites must be configured ones (or "BOTH") once the document lists its
// sites; departments must be in the department list.
//
// Removing a user, device or contact marks it removed and disabled (so
// neither sign-in nor targeting ever reaches it, and the audit trail's
// actors keep their entry); restoring clears both. A credential is created
// for every new user that signs in with one and every new device, and by
// rotate_token; it is returned once in `token` and never appears in `detail`.
// A change that would leave no enabled user who can manage users (and can
// still sign in) is refused.
//
// Thread-safety: pure function over its arguments. Refusals: AccessInvalid
// with a message for the administrator; the document is then unspecified
// (callers work on a copy).
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "base/clock.h"
#include "base/json_text.h"

namespace halvenor {

inline constexpr std::size_t kMaxDirectoryIdLength = 128;
inline constexpr std::size_t kMaxDisplayNameLength = 100;
inline constexpr std::size_t kMaxSubjectLength = 256;
inline constexpr std::size_t kMaxGroupMembers = 10000;
inline constexpr std::size_t kDirectoryTokenBytes = 32;

struct DirectoryChange {
  std::string event;                 // audit event, e.g. "access.user.added"
  Json detail;                       // what changed, for the audit trail; never a credential
  Json result;                       // returned to the administrator
  std::optional<std::string> token;  // a new credential, shown once
};

DirectoryChange apply_directory_change(Json& doc, const Json& request, RandomSource& random);

// Refuses (AccessInvalid) what a device entry may not carry under `key`,
// exactly as an administrator's change would be refused.
void check_device_field(const Json& doc, const std::string& key, const Json& value);

// True when `id` names any entry of the directory, in any letter case.
bool directory_id_taken(const Json& doc, const std::string& id);

// Enabled, not removed users whose can_manage_users is exactly true and who
// can still sign in (a stored credential, or organisation sign-in enabled).
std::size_t directory_managers(const Json& doc);

}  // namespace halvenor
