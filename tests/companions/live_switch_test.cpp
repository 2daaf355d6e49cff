#include "companions/access/live_switch.h"

#include <gtest/gtest.h>

#include "base/errors.h"
#include "companions/access/access_manager.h"
#include "tests/companions/companion_test_support.h"

namespace halvenor {
namespace {

using testing_support::Installation;

Json live_config() {
  Json config = testing_support::base_config();
  config["live_desktop"] = {{"enabled", true}, {"deployment_scope", "operational"}, {"enabled_by_default", true}};
  config["users"].push_back({{"id", "chief"}, {"role", "operator"}, {"can_manage_users", true},
                             {"can_send_live", true}, {"token", "chief-credential-0123456789"}});
  return config;
}

std::string refusal(Installation& home, const std::string& actor, const Json& request) {
  try {
    switch_live_mode(home.core(), *home.parts().access(), actor, request);
  } catch (const AccessInvalid& e) {
    return e.what();
  }
  return "<accepted>";
}

TEST(LiveSwitchTest, ExercisesOnlyForAnyAdministratorLiveAgainOnlyWithPermissionAndConfirmation) {
  Installation home(live_config());
  Core& core = home.core();
  const auto events_before = home.audit_events().size();

  Json off = switch_live_mode(core, *home.parts().access(), "admin", {{"live", false}});
  EXPECT_EQ(off, Json({{"ok", true}, {"live", false}, {"changed", true}}));
  EXPECT_FALSE(core.live_enabled());
  EXPECT_EQ(json::parse_text(setup::read_file(home.config_path(), 1 << 20))["live_desktop"]["enabled"], false);
  EXPECT_EQ(switch_live_mode(core, *home.parts().access(), "admin", {{"live", false}})["changed"], false);

  const std::string disk = setup::read_file(home.config_path(), 1 << 20);
  EXPECT_EQ(refusal(home, "admin", {{"live", true}, {"confirmation", kLiveConfirmation}}),
            "Only an administrator who may send live alerts can switch live alerts back on.");
  EXPECT_EQ(refusal(home, "chief", {{"live", true}, {"confirmation", "enable live alerts"}}),
            "Type ENABLE LIVE ALERTS to switch live alerts back on.");
  EXPECT_THROW(switch_live_mode(core, *home.parts().access(), "operator", {{"live", false}}), AccessDenied);
  EXPECT_EQ(setup::read_file(home.config_path(), 1 << 20), disk);
  EXPECT_FALSE(core.live_enabled());

  switch_live_mode(core, *home.parts().access(), "chief", {{"live", true}, {"confirmation", kLiveConfirmation}});
  EXPECT_TRUE(core.live_enabled());
  std::vector<std::string> events = home.audit_events();
  EXPECT_EQ(std::vector<std::string>(events.begin() + events_before, events.end()),
            (std::vector<std::string>{"live_desktop.switched", "live_desktop.switched"}));
}

}  // namespace
}  // namespace halvenor
