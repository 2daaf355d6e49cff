// The directory's one rule for "active": sign-in, targeting, the agent's
// profile and the permissions of people reach the same verdict for every
// form the "enabled" and "removed" flags take in a hand-edited file.
#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

#include "base/errors.h"
#include "server/core/core.h"
#include "server/core/directory_views.h"
#include "tests/support/config_builder.h"
#include "tests/support/core_harness.h"

namespace halvenor {
namespace {

using test_support::ConfigBuilder;
using test_support::CoreHarness;
using Ids = std::vector<std::string>;

TEST(DirectoryRulesTest, EveryPartAgreesOnWhoIsActive) {
  const std::vector<std::pair<Json, bool>> forms = {
      {Json::object(), true},
      {{{"enabled", "false"}}, true},  // non-empty text is true
      {{{"removed", nullptr}}, true},
      {{{"enabled", false}}, false},
      {{{"enabled", 0}}, false},
      {{{"enabled", ""}}, false},
      {{{"removed", 1}}, false},
      {{{"removed", true}, {"enabled", true}}, false},
  };
  for (const auto& [form, active] : forms) {
    Json person = form;
    person["can_manage_users"] = true;
    person["can_send_live"] = true;
    CoreHarness h(ConfigBuilder()
                      .user("u", person)
                      .device("pc", "North", "Wards", form)
                      .contact("c", "North", "Wards", {"sms"}, form));
    ConfigPtr config = h->config();
    Ids targeted;
    for (const Json* entry : h->recipients(*config, {{"sites", {"North"}}}))
      targeted.push_back(entry->at("id").get<std::string>());
    bool profile = true;
    try {
      h->agent_profile("pc");
    } catch (const Invalid&) {
      profile = false;
    }

    EXPECT_EQ(h->authenticate(test_support::user_token("u")).has_value(), active) << form.dump();
    EXPECT_EQ(h->authenticate(test_support::device_token("pc")).has_value(), active) << form.dump();
    EXPECT_EQ(targeted, (active ? Ids{"pc", "c"} : Ids{})) << form.dump();
    EXPECT_EQ(profile, active) << form.dump();
    EXPECT_EQ(h->can_send_live("u"), active) << form.dump();
    EXPECT_EQ(may_manage_users(config->doc(), "u"), active) << form.dump();
  }
}

}  // namespace
}  // namespace halvenor
