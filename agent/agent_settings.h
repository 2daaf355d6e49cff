// The agent's settings file, as the installation bundle writes it, and the
// places where the agent keeps its own files.
//
// Settings keys: "server_url" (https://host[:port]), "device_id", "token"
// (the computer's bearer credential), "ca_certificate" (PEM of the authority
// that vouches for the server), "ca_sha256_fingerprint" (its SHA-256
// fingerprint, "AB:CD:..."), and optionally "allow_live_incidents" (boolean,
// default true): whether this computer announces that it may show live
// incidents. Exercises are shown whatever it says.
//
// Errors: AgentSetupError with a message for the person installing the
// agent. Pure functions; thread-safe.
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>

#include "agent/server_address.h"
#include "base/json_text.h"

namespace halvenor::agent {

class AgentSetupError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline constexpr std::size_t kMaxSettingsBytes = 1024 * 1024;
inline constexpr char kStateFolderName[] = "halvenor-agent";

struct AgentSettings {
  std::string server_url;
  ServerAddress server;  // server_url split for connecting; always TLS
  std::string device_id;
  std::string token;
  std::string ca_pem;
  std::string ca_fingerprint;
  bool allow_live_incidents = true;
};

// Checks every key, that the URL is https, and that the fingerprint is the
// certificate's own: a settings file edited by hand must not pin a
// different authority from the one it names.
AgentSettings parse_agent_settings(const Json& document);
// The keys a settings file shares with a rollout file ("server_url",
// "ca_certificate", "ca_sha256_fingerprint", "allow_live_incidents"), with
// the same checks; `file` names the file in messages.
void parse_server_trust(const Json& document, AgentSettings& out, const char* file);
AgentSettings load_agent_settings(const std::filesystem::path& file);

// The JSON document in `file` (at most kMaxSettingsBytes). Throws
// AgentSetupError naming `what` ("settings file", "rollout file") when it
// cannot be read or is not JSON.
Json read_agent_file(const std::filesystem::path& file, const std::string& what);

// Linux (agent/state_folder.cpp): $XDG_STATE_HOME/halvenor-agent when
// XDG_STATE_HOME is an absolute path, else $HOME/.local/state/halvenor-agent.
// Windows (agent/windows/state_folder.cpp): %LOCALAPPDATA%\Halvenor\Agent.
// Throws AgentSetupError when the system names no such place.
std::filesystem::path default_state_folder();

}  // namespace halvenor::agent
