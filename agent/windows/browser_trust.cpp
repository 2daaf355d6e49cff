// Windows: browsers (Edge, Chrome, and Firefox with its enterprise roots
// setting) read the Windows certificate store, which IT fills through Group
// Policy or Intune; an agent adding a root there would make Windows ask the
// person at the computer for confirmation. The agent leaves it to IT and
// says so to the server.
#include "agent/browser_trust.h"

#include <cstdlib>

namespace halvenor::agent {

std::optional<std::filesystem::path> desktop_home() {
  const wchar_t* profile = _wgetenv(L"USERPROFILE");
  if (profile == nullptr || profile[0] == L'\0') return std::nullopt;
  return std::filesystem::path(profile);
}

std::vector<std::filesystem::path> nss_databases(const std::filesystem::path&) { return {}; }

BrowserTrustResult install_browser_trust(const std::string&, const std::string&,
                                         const std::vector<std::filesystem::path>&, const std::filesystem::path&) {
  return {"failed",
          "On Windows the browsers' trust comes from the Windows certificate store: deploy the authority "
          "with Group Policy or Intune."};
}

}  // namespace halvenor::agent
