// Users, roles and credentials of an installation, managed from the dashboard.
//
// Present only when the service knows its configuration file, because every
// change is written back to it. Thread-safety: all operations may be called
// concurrently; changes are serialised so none is lost.
#pragma once

#include <mutex>
#include <string>

#include "server/core/json_text.h"

namespace halvenor {

class Core;

class AccessManager {
 public:
  AccessManager(Core& core, std::string config_path);

  // True when `actor` is an enabled user whose can_manage_users is exactly true.
  bool allowed(const std::string& actor);
  // The directory as an administrator sees it: never any credential.
  // Throws AccessDenied for anyone else.
  Json view(const std::string& actor);
  // Applies one directory change. Throws AccessDenied or AccessInvalid.
  Json change(const std::string& actor, const Json& request, const std::string& base_url);

  const std::string& config_path() const { return config_path_; }

 private:
  Core& core_;
  std::string config_path_;
  std::mutex change_mutex_;
};

}  // namespace halvenor
