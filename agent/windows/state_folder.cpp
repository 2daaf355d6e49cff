// Windows: the agent's files live per user under the local (not roaming)
// application data folder, %LOCALAPPDATA%\Halvenor\Agent: the journal and the
// credential belong to this computer, not to a profile that follows the
// person to another one.
#include <windows.h>
#include <shlobj.h>

#include "agent/agent_settings.h"

namespace halvenor::agent {

std::filesystem::path default_state_folder() {
  wchar_t* folder = nullptr;
  if (SHGetKnownFolderPath(FOLDERID_LocalAppData, KF_FLAG_CREATE, nullptr, &folder) != S_OK || folder == nullptr) {
    CoTaskMemFree(folder);
    throw AgentSetupError("This user has no local application data folder; pass --state-dir.");
  }
  std::filesystem::path out = std::filesystem::path(folder) / L"Halvenor" / L"Agent";
  CoTaskMemFree(folder);
  return out;
}

}  // namespace halvenor::agent
