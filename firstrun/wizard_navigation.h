// Which step buttons the first-install window shows and which of them
// respond, for each state of the wizard.
#pragma once

#include <optional>

namespace halvenor::firstrun {

struct NavigationState {
  bool show_back = false;
  bool show_next = false;
  bool show_create = false;
  bool back_enabled = false;
  bool next_enabled = false;
  bool create_enabled = false;
  // nullopt: leave Cancel as it is (after a successful installation Cancel
  // has left the bar for good).
  std::optional<bool> cancel_enabled;
};

// step 0..3; installed: the installation has succeeded.
NavigationState navigation_state(int step, bool busy, bool agreed, bool installed);

// Whether the Alt+N and Alt+B keys act now.
bool next_key_acts(int step, bool busy);
bool back_key_acts(int step, bool busy);

}  // namespace halvenor::firstrun
