// Every text the first-install window composes from the choices and from
// the installation's outcome. Kept apart from the widgets so that each
// wording can be checked without a display.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/json_text.h"

namespace halvenor::firstrun {

inline constexpr int kStepCount = 4;

inline constexpr char kWindowTitle[] = "Halvenor Mass Communication — first installation";
inline constexpr char kHeaderText[] = "Set up Halvenor Mass Communication";
inline constexpr char kInitialStatus[] =
    "Fresh installation only. Existing data and certificates are never overwritten.";
inline constexpr char kInstallingStatus[] =
    "Installing application, creating Administrator and generating certificates…";
#ifdef _WIN32
inline constexpr char kShortcutWarning[] =
    " Desktop shortcuts could not be created; use Start-Emergency-Comms.cmd and the displayed URL.";
#else
inline constexpr char kShortcutWarning[] =
    " Desktop shortcuts could not be created; use Start-Emergency-Comms.sh and the displayed URL.";
#endif
inline constexpr char kScopeCurrentUser[] = "Current user";
inline constexpr char kScopeAllUsers[] = "All users on this PC — administrator required";

// Titles of the four steps, by index.
const std::string& step_name(int step);
// "Step N of 4 — <title>".
std::string step_title(int step);

// The review shown on the last step, from the field texts as typed.
struct ReviewInput {
  Json values;  // field key -> text
  bool desktop = true;
  bool browser_trust = true;
  std::string trust_scope_text;
  bool agreed = false;
};
std::string review_text(const ReviewInput& input);

// The trust store scope asked for: nothing when trust is off, "machine" for
// the all-users choice, else "user".
std::optional<std::string> trust_scope(bool browser_trust, const std::string& scope_text);

// The question asked before installing, from the validated plan.
std::string confirmation_text(const Json& plan, const std::optional<std::string>& scope_text);

// The line of the final status about the local CA.
std::string trust_line(const Json& result);

// The status after the server was started and opened.
std::string finished_status(const Json& result, const std::string& install_warning,
                            const std::vector<std::string>& notes);

// The status when the installation succeeded but starting it did not.
std::string startup_error_status(const std::string& message, const std::string& install_warning);

}  // namespace halvenor::firstrun
