#include <cstdlib>

#include "agent/agent_settings.h"

namespace halvenor::agent {

std::filesystem::path default_state_folder() {
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::filesystem::path(state) / kStateFolderName;
  const char* home = std::getenv("HOME");
  if (home == nullptr || home[0] != '/')
    throw AgentSetupError("Neither XDG_STATE_HOME nor HOME is set; pass --state-dir.");
  return std::filesystem::path(home) / ".local" / "state" / kStateFolderName;
}

}  // namespace halvenor::agent
