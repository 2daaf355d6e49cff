// Before an alert goes out: how many of the computers it targets are likely
// to show it at once, and which are silent. A computer counts as reachable
// when its agent has polled within two of its poll intervals; one missed poll
// is ordinary jitter, two mean the agent is off, disconnected or failing.
#pragma once

#include <vector>

#include "server/core/core.h"

namespace halvenor {

// The desktop agent polls every 5 s unless told otherwise (agent_options.h).
inline constexpr double kAgentPollSeconds = 5;
inline constexpr double kRecentlySeenSeconds = 2 * kAgentPollSeconds;

// {"computers": targeted computers, "seen_recently": how many polled within
// kRecentlySeenSeconds, "window_seconds", "silent": [{"id", "name", "site",
// "department", "last_seen" (Unix time or null)}]} with the silent ones
// ordered by department, then name. Reads the database; writes nothing.
Json desktop_coverage(Core& core, const ConfigSnapshot& config, const std::vector<DeliveryTarget>& targets);

}  // namespace halvenor
