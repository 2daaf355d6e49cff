#include "firstrun/wizard_workers.h"

#include <thread>

#include "firstrun/installation.h"
#include "firstrun/platform_steps.h"
#include "firstrun/wizard_texts.h"

namespace halvenor::firstrun {

InstallSteps real_install_steps() {
  return {[](const Json& values, const std::filesystem::path& source) { return install(values, source); },
          [](const Json& result) { shortcuts(result); }};
}

void installation_job(const Json& choices, const std::optional<std::string>& scope, bool desktop,
                      const std::filesystem::path& source, const InstallSteps& steps, EventQueue& events) {
  try {
    Json result = steps.install(choices, source);
    result["browser_trust_scope"] = scope ? Json(*scope) : Json(nullptr);
    std::string warning;
    if (result.contains("warning") && result["warning"].is_string()) warning = result["warning"].get<std::string>();
    if (desktop) {
      try {
        steps.shortcuts(result);
      } catch (const std::exception&) {
        // The installation itself is complete; the launchers are a convenience.
        warning += kShortcutWarning;
      }
    }
    events.post({WizardEvent::Kind::installed, {}, std::move(result), std::move(warning), {}});
  } catch (const std::exception& error) {
    events.post({WizardEvent::Kind::error, error.what(), {}, {}, {}});
  }
}

FinishStep real_finish_step(FinishOptions options) {
  return [options](Json& result, const std::function<void(const std::string&)>& progress) {
    return start_and_open(result, progress, options);
  };
}

void finishing_job(Json result, const FinishStep& finish, EventQueue& events) {
  try {
    auto notes = finish(result, [&events](const std::string& text) {
      events.post({WizardEvent::Kind::progress, text, {}, {}, {}});
    });
    events.post({WizardEvent::Kind::finished, {}, std::move(result), {}, std::move(notes)});
  } catch (const std::exception& error) {
    events.post({WizardEvent::Kind::startup_error, error.what(), std::move(result), {}, {}});
  }
}

void start_detached(std::shared_ptr<EventQueue> events, std::function<void(EventQueue&)> job) {
  std::thread([events = std::move(events), job = std::move(job)] { job(*events); }).detach();
}

}  // namespace halvenor::firstrun
