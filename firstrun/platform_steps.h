// Steps of the first install that depend on the operating system.
#pragma once

#include <filesystem>

#include "base/json_text.h"

namespace halvenor::firstrun {

// Restricts the private folder to its owner where the file system needs more
// than the POSIX modes already set (Windows); returns at once elsewhere.
void protect_private_folder(const std::filesystem::path& folder);

// Desktop launchers for the server and the dashboard of an installation.
void shortcuts(const Json& result, bool replace_dashboard = false);

}  // namespace halvenor::firstrun
