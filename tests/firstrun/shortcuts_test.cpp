// Desktop launchers: created executable, the server launcher never replaced,
// the dashboard launcher replaced only when asked; and private-folder
// protection changing nothing off Windows.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <optional>

#include "firstrun/platform_steps.h"
#include "tests/firstrun/firstrun_test_support.h"
#include "tests/support/scoped_environment.h"
#include "tests/support/temp_folder.h"

namespace halvenor::firstrun {
namespace {

namespace fs = std::filesystem;
using test_support::ScopedEnvironment;
using firstrun_test::mode_of;
using firstrun_test::read_all;

TEST(Shortcuts, ServerLauncherKeptDashboardReplacedOnlyWhenAsked) {
  test_support::TempFolder home;
  ScopedEnvironment env_home("HOME", home.path().string());
  ScopedEnvironment env_config("XDG_CONFIG_HOME", (home.path() / ".config").string());
  const Json result = {{"folder", "/opt/Halvenor Site"}, {"url", "https://alerts.example:8765"}};
  shortcuts(result);

  const fs::path desktop = home.path() / "Desktop";
  const fs::path server = desktop / "Halvenor Mass Communication Server.desktop";
  const fs::path dashboard = desktop / "Halvenor Mass Communication Dashboard.desktop";
  EXPECT_EQ(mode_of(server), 0755u);
  EXPECT_EQ(mode_of(dashboard), 0755u);
  EXPECT_NE(read_all(server).find("Exec=\"/opt/Halvenor Site/Start-Emergency-Comms.sh\"\n"), std::string::npos)
      << read_all(server);
  const std::string opener = fs::exists("/usr/bin/chromium") ? "Exec=/usr/bin/chromium \"--app=https://alerts.example:8765\"\n"
                                                             : "Exec=xdg-open \"https://alerts.example:8765\"\n";
  EXPECT_NE(read_all(dashboard).find(opener), std::string::npos) << read_all(dashboard);

  std::ofstream(server) << "edited server";
  std::ofstream(dashboard) << "edited dashboard";
  shortcuts(result);
  EXPECT_EQ(read_all(server), "edited server");
  EXPECT_EQ(read_all(dashboard), "edited dashboard");

  shortcuts(result, true);
  EXPECT_EQ(read_all(server), "edited server");
  EXPECT_NE(read_all(dashboard).find("[Desktop Entry]"), std::string::npos);
}

TEST(Shortcuts, ProtectPrivateFolderChangesNothingHere) {
  test_support::TempFolder folder;
  fs::permissions(folder.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec,
                  fs::perm_options::replace);
  protect_private_folder(folder.path());
  EXPECT_EQ(mode_of(folder.path()), 0750u);
}

}  // namespace
}  // namespace halvenor::firstrun
