// The installation bundle for one receiving computer's desktop agent: a ZIP
// holding the agent's settings (server address, the device's credential, the
// certificate authority that vouches for the server), the authority on its
// own for IT, install instructions for Linux desktops, a systemd user unit
// and a desktop autostart entry.
//
// Pure function over its inputs; thread-safe. The settings entry holds a
// credential, so the bundle is a secret and its entries carry owner-only
// Unix permissions. Throws std::runtime_error when the archive cannot be
// built (out of memory); never refuses input.
#pragma once

#include <array>
#include <string>

namespace halvenor::setup {

// Where the agent is installed and keeps its files; the unit, the autostart
// entry and the instructions agree on these.
inline constexpr char kAgentProgram[] = "/opt/halvenor-agent/agent";
inline constexpr char kAgentSettingsFolder[] = ".config/halvenor-agent";  // under the user's home
inline constexpr char kAgentStateFolder[] = ".local/state/halvenor-agent";

inline constexpr char kBundleSettings[] = "settings.json";
inline constexpr char kBundleCaCertificate[] = "halvenor-mass-communication-ca.pem";
inline constexpr char kBundleReadme[] = "README.txt";
inline constexpr char kBundleSystemdUnit[] = "halvenor-agent.service";
inline constexpr char kBundleAutostart[] = "halvenor-agent.desktop";
inline constexpr std::array<const char*, 5> kBundleEntries = {
    kBundleSettings, kBundleCaCertificate, kBundleReadme, kBundleSystemdUnit, kBundleAutostart};

struct AgentBundle {
  std::string device_id;
  std::string display_name;    // shown in the instructions
  std::string server_url;      // scheme://host:port the agent polls
  std::string token;           // the device's bearer credential
  std::string ca_pem;          // the authority the agent trusts for the server
  std::string ca_fingerprint;  // SHA-256 of the authority, "AB:CD:..."
};

// The agent's settings file: {"server_url", "device_id", "token",
// "ca_certificate" (PEM text), "ca_sha256_fingerprint",
// "allow_live_incidents" (true: the computer's own policy lets it show live
// incidents; the server's and the device entry's policies still apply)} in
// the configuration file's indented form.
std::string agent_settings_json(const AgentBundle& bundle);

// The ZIP bytes, entries in kBundleEntries order, stamped with `unix_now`.
std::string agent_bundle_zip(const AgentBundle& bundle, double unix_now);

}  // namespace halvenor::setup
