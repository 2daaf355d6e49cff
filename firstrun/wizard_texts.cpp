#include "firstrun/wizard_texts.h"

#include <array>
#include <stdexcept>

namespace halvenor::firstrun {
namespace {

const std::array<std::string, kStepCount> kStepNames = {
    "Server settings",
    "Create the first Administrator",
    "Agreement and options",
    "Review and install",
};

// A member as text whatever its JSON type; absent members read as empty so
// that a review can be shown for half-filled choices.
std::string text_of(const Json& map, const char* key) {
  if (!map.is_object() || !map.contains(key)) return {};
  const Json& value = map.at(key);
  if (value.is_string()) return value.get<std::string>();
  if (value.is_null()) return {};
  return value.dump();
}

}  // namespace

const std::string& step_name(int step) {
  if (step < 0 || step >= kStepCount) throw std::out_of_range("no such step");
  return kStepNames[static_cast<std::size_t>(step)];
}

std::string step_title(int step) {
  return "Step " + std::to_string(step + 1) + " of " + std::to_string(kStepCount) + " — " + step_name(step);
}

std::string review_text(const ReviewInput& in) {
  const Json& v = in.values;
  return "Check your installation choices\n\nFolder: " + text_of(v, "folder") + "\nServer: " + text_of(v, "hostname") +
         ":" + text_of(v, "port") + "\nListen on: " + text_of(v, "bind") + "\nAdministrator: " + text_of(v, "account") +
         " (" + text_of(v, "name") + ")" + "\nDesktop shortcuts: " + (in.desktop ? "Yes" : "No") +
         "\nCertificate trust: " + (in.browser_trust ? in.trust_scope_text : std::string("Not installed")) +
         "\nLicence agreement: " + (in.agreed ? "Agreed" : "Not agreed") +
         "\n\nDesktop live alerts: enabled. SMS/WhatsApp: disabled until IT configuration and tests.";
}

std::optional<std::string> trust_scope(bool browser_trust, const std::string& scope_text) {
  if (!browser_trust) return std::nullopt;
  return scope_text.rfind("All users", 0) == 0 ? "machine" : "user";
}

std::string confirmation_text(const Json& plan, const std::optional<std::string>& scope_text) {
  return "Install into " + text_of(plan, "folder") + "?\nServer: " + text_of(plan, "hostname") + ":" +
         text_of(plan, "port") + "\nAdministrator: " + text_of(plan, "account") +
         "\nLive desktop: enabled by default" + "\nBrowser trust on this PC: " + scope_text.value_or("not installed") +
         "\n\nSetup will trust the newly generated local CA as selected, start the server, open the Dashboard and "
         "open your private Administrator credential file.";
}

std::string trust_line(const Json& result) {
  bool installed = result.is_object() && result.contains("_browser_trust_installed") &&
                   result.at("_browser_trust_installed") == true;
  if (!installed) return "Browser certificate trust may still need IT attention.";
  bool machine = text_of(result, "browser_trust_scope") == "machine";
  return std::string("Local CA trust installed for ") + (machine ? "all users on this PC." : "the current user.");
}

std::string finished_status(const Json& result, const std::string& install_warning,
                            const std::vector<std::string>& notes) {
  std::string joined;
  for (std::size_t i = 0; i < notes.size(); ++i) {
    if (i > 0) joined += "\n";
    joined += notes[i];
  }
  return "Installation successful. Server running.\nDashboard: " + text_of(result, "url") + "\n" + trust_line(result) +
         "\n" + install_warning + joined + "\nFinish closes setup; the server stays running.";
}

std::string startup_error_status(const std::string& message, const std::string& install_warning) {
  return "Application installed; automatic startup needs attention.\n" + message + install_warning;
}

}  // namespace halvenor::firstrun
