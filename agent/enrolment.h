// Self-enrolment of a receiving computer from a rollout file, the one file
// IT pushes to every computer: {"server_url", "ca_certificate",
// "ca_sha256_fingerprint", "code", "allow_live_incidents"? (default false:
// a computer shows exercises only unless its administrator chose live)}.
//
// The code is sent only over a connection whose server proved itself with
// the rollout's own authority (whose fingerprint must match), and the
// computer's settings are written to `settings.json` in the state folder
// (owner-only, in an owner-only folder), where the agent finds them when it
// is started without --settings.
//
// Errors: AgentSetupError for a bad rollout file; LinkUnavailable when the
// server cannot be reached or verified; LinkRefused with the server's
// message when it refuses the code. One thread.
#pragma once

#include <filesystem>
#include <string>

#include "agent/agent_settings.h"

namespace halvenor::agent {

inline constexpr char kEnrolledSettingsFile[] = "settings.json";
// Where IT's management tools put the rollout file for a packaged agent,
// which enrols from it when it first starts without settings.
inline constexpr char kSystemRolloutFile[] = "/etc/halvenor-agent/rollout.json";
inline constexpr unsigned kFirstEnrolmentRetrySeconds = 5;
inline constexpr unsigned kMaxEnrolmentRetrySeconds = 300;

struct Rollout {
  AgentSettings server;  // server_url, authority and live policy; no device yet
  std::string code;
};

Rollout load_rollout(const std::filesystem::path& file);

// Enrols as `hostname` and writes the settings; returns them.
AgentSettings enrol(const Rollout& rollout, const std::filesystem::path& state_folder, const std::string& hostname);

}  // namespace halvenor::agent
