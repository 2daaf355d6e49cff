// The first install itself: one folder holding the program, its settings, its
// data and its credentials, written so that a failure leaves nothing behind.
#pragma once

#include <filesystem>

#include "base/json_text.h"

namespace halvenor::firstrun {

// Installs with the chosen values from the program files in `source`;
// returns the installation result map.
Json install(const Json& values, const std::filesystem::path& source);

// SOURCE: the folder holding the running firstrun program.
std::filesystem::path source_folder();

}  // namespace halvenor::firstrun

#include <functional>

namespace halvenor::firstrun::detail {

// Seams for tests, each given the application folder: `before_data_check`
// runs after the marker folder exists, right before install checks that no
// "data" entry appeared since validation; `before_commit` runs when the
// staging folder is complete, right before it becomes "data".
struct InstallHooks {
  std::function<void(const std::filesystem::path& folder)> before_data_check;
  std::function<void(const std::filesystem::path& folder)> before_commit;
};

Json install(const Json& values, const std::filesystem::path& source, const InstallHooks& hooks);

// Packaged mode: the program files sit beside a built `server`, without the
// build description of a source tree.
bool packaged_layout(const std::filesystem::path& source);

}  // namespace halvenor::firstrun::detail
