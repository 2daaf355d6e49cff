// Users, roles and credentials of an installation, managed from the dashboard.
//
// Present only when the service knows its configuration file, because every
// change is written back to it: the whole document, in the configuration
// file's indented form, replaced atomically (owner-only temporary file,
// flushed, renamed), and then published to the core so the next request
// sees it. The request forms are those of directory_change.h.
//
// Thread-safety: all operations may be called concurrently. Changes are
// serialised by one mutex, and each re-reads the current snapshot under it,
// so concurrent changes never lose one another's edits. Any other component
// that rewrites the configuration file must do so through update_config.
//
// Refusals: AccessDenied for a caller who may not manage users, AccessInvalid
// for a change that is malformed or not allowed. File-system failures are
// std::runtime_error and leave both the file and the snapshot unchanged.
#pragma once

#include <functional>
#include <mutex>
#include <string>

#include "base/json_text.h"

namespace halvenor {

class Connection;
class Core;

class AccessManager {
 public:
  AccessManager(Core& core, std::string config_path);

  // True when `actor` may manage users (may_manage_users, directory_views.h).
  bool allowed(const std::string& actor);
  // The directory as an administrator sees it: never any credential.
  // Throws AccessDenied for anyone else.
  Json view(const std::string& actor);
  // Applies one directory change (directory_change.h) and returns its
  // result; a new credential appears there once, under "token". `base_url`
  // is where agents reach this server, returned with device enrolments.
  Json change(const std::string& actor, const Json& request, const std::string& base_url);

  // Serialised read-modify-write of the configuration document inside one
  // immediate transaction: `edit` changes a copy of the current document and
  // may read and write rows (its audit events included) through the open
  // connection; then the file is rewritten, the transaction committed and the
  // new document published. Anything `edit` throws rolls its rows back and
  // leaves file and snapshot alone. Refuses (AccessInvalid) a result that
  // would leave nobody able to manage users.
  void update_config(const std::function<void(Connection& conn, Json& doc)>& edit);

  const std::string& config_path() const { return config_path_; }

 private:
  Json devices_with_last_contact(const Json& doc);
  void commit(const std::string& actor, const std::string& event, const Json& detail, Json doc);

  Core& core_;
  std::string config_path_;
  std::mutex change_mutex_;
};

}  // namespace halvenor
