// The two background jobs of the first-install window. Each runs on its own
// detached thread and reports only through the event queue.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "firstrun/finisher.h"
#include "firstrun/wizard_events.h"

namespace halvenor::firstrun {

// The installation job's collaborators, replaceable in tests.
struct InstallSteps {
  std::function<Json(const Json& values, const std::filesystem::path& source)> install;
  std::function<void(const Json& result)> shortcuts;
};
InstallSteps real_install_steps();

// Installs, stamps the trust scope into the result, makes the desktop
// shortcuts when asked (a failure there only adds a warning), then posts
// "installed" or "error".
void installation_job(const Json& choices, const std::optional<std::string>& scope, bool desktop,
                      const std::filesystem::path& source, const InstallSteps& steps, EventQueue& events);

using FinishStep = std::function<std::vector<std::string>(Json& result, const std::function<void(const std::string&)>&)>;
FinishStep real_finish_step(FinishOptions options);

// Starts and opens the installation; posts "progress" texts, then
// "finished" or "startup_error", each carrying the result as the finisher
// left it.
void finishing_job(Json result, const FinishStep& finish, EventQueue& events);

// Runs `job` on a detached thread that keeps `events` alive.
void start_detached(std::shared_ptr<EventQueue> events, std::function<void(EventQueue&)> job);

}  // namespace halvenor::firstrun
