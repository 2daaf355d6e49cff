#include "firstrun/unattended.h"

#include <map>
#include <optional>

#include "firstrun/certificate_trust.h"
#include "firstrun/choices.h"
#include "firstrun/finisher.h"
#include "firstrun/installation.h"
#include "firstrun/legal_terms.h"

namespace fs = std::filesystem;

namespace halvenor::firstrun {
namespace {

struct Options {
  std::map<std::string, std::string> values;  // choice key -> text
  bool accept_terms = false;
  std::optional<std::string> trust;
  bool start = true;
  bool json = false;
};

class UsageError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Option name -> choice key, for the options that carry a value.
const std::map<std::string, std::string> kValueOptions = {
    {"--folder", "folder"}, {"--hostname", "hostname"}, {"--bind", "bind"},
    {"--port", "port"},     {"--account", "account"},   {"--name", "name"},
};

Options parse(const std::vector<std::string>& args) {
  Options options;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--unattended") continue;
    if (arg == "--accept-terms") {
      options.accept_terms = true;
    } else if (arg == "--no-start") {
      options.start = false;
    } else if (arg == "--json") {
      options.json = true;
    } else if (arg == "--trust" || kValueOptions.count(arg)) {
      if (i + 1 >= args.size()) throw UsageError(arg + " needs a value.");
      const std::string& value = args[++i];
      if (arg == "--trust") {
        if (value != "user" && value != "machine") throw UsageError("--trust must be \"user\" or \"machine\".");
        options.trust = value;
      } else {
        options.values[kValueOptions.at(arg)] = value;
      }
    } else {
      throw UsageError("Unknown option " + arg + ".");
    }
  }
  for (const char* required : {"folder", "hostname", "account", "name"})
    if (!options.values.count(required)) throw UsageError(std::string("--") + required + " is required.");
  return options;
}

Json choices_from(const Options& options) {
  Json values = default_choices();
  for (const auto& [key, value] : options.values) values[key] = value;
  return values;
}

void print_result(const Json& result, bool started, const std::vector<std::string>& notes, std::ostream& out) {
  const fs::path folder = result["folder"].get<std::string>();
  out << "Installed into " << folder.string() << "\n"
      << "Dashboard: " << result["url"].get<std::string>() << "\n"
      << "Administrator: " << result["account"].get<std::string>() << "\n"
      << "Credential file (private; holds the sign-in token): " << result["credential_file"].get<std::string>()
      << "\n"
      << "Local CA certificate for dashboard PCs: " << result["public_ca"].get<std::string>() << "\n"
      << "Start script: " << (folder / "Start-Emergency-Comms.sh").string() << "\n"
      << "systemd units (see README): " << (folder / "systemd").string() << "\n"
      << "Server: " << (started ? "running" : "not started") << "\n";
  if (result.value("_browser_trust_installed", false))
    out << "Local CA trust installed for "
        << (result["browser_trust_scope"] == "machine" ? "all users on this PC." : "the current user.") << "\n";
  for (const std::string& note : notes) out << note << "\n";
  out.flush();
}

Json json_result(const Json& result, bool started, const std::vector<std::string>& notes) {
  Json out = {{"ok", true}};
  for (const auto& [key, value] : result.items())
    if (key.empty() || key[0] != '_') out[key] = value;
  out["start_script"] = (fs::path(result["folder"].get<std::string>()) / "Start-Emergency-Comms.sh").string();
  out["browser_trust_installed"] = result.value("_browser_trust_installed", false);
  out["started"] = started;
  out["notes"] = notes;
  return out;
}

}  // namespace

std::string usage_text() {
  return "Usage:\n"
         "  firstrun                 open the first-installation window\n"
         "  firstrun --unattended --folder F --hostname H [--bind B] [--port P]\n"
         "           --account A --name N --accept-terms [--trust user|machine]\n"
         "           [--no-start] [--json]\n"
         "\n"
         "Installs Halvenor Mass Communication into a new folder F: the program,\n"
         "the first Administrator, a local certificate authority and HTTPS\n"
         "certificate for H, then starts the server (unless --no-start).\n"
         "--accept-terms states that you have read and agree to the documents in\n"
         "docs/legal. --bind defaults to 0.0.0.0, --port to 8765. --trust makes\n"
         "browsers trust the local authority for the current user or the whole\n"
         "machine. --json prints one JSON object instead of text lines. The\n"
         "Administrator's token is written to data/administrator-access.txt and\n"
         "never printed.\n";
}

int run_unattended(const std::vector<std::string>& args, const fs::path& source, std::ostream& out,
                   std::ostream& err) {
  Options options;
  try {
    options = parse(args);
  } catch (const UsageError& e) {
    err << "firstrun: " << e.what() << "\n\n" << usage_text();
    return 2;
  }

  Json result;
  try {
    Json values = choices_from(options);
    values["legal_acceptance"] = legal::agreement(source / "docs" / "legal", options.accept_terms);
    validate(values);
    if (options.trust) trust::validate_scope(*options.trust);
    result = install(values, source);
  } catch (const std::exception& e) {
    err << e.what() << "\n";
    return 1;
  }
  result["browser_trust_scope"] = options.trust ? Json(*options.trust) : Json();

  std::vector<std::string> notes;
  bool started = false;
  int status = 0;
  if (options.start) {
    try {
      auto progress = [&](const std::string& text) {
        if (!options.json) out << text << std::endl;
      };
      notes = start_and_open(result, progress, FinishOptions{.open_windows = false});
      started = true;
    } catch (const std::exception& e) {
      err << "Application installed; automatic startup needs attention.\n" << e.what() << "\n";
      status = 1;
    }
  }
  if (options.json)
    out << json_result(result, started, notes).dump() << std::endl;
  else
    print_result(result, started, notes, out);
  return status;
}

}  // namespace halvenor::firstrun
