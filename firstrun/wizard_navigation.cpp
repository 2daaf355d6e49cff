#include "firstrun/wizard_navigation.h"

#include "firstrun/wizard_texts.h"

namespace halvenor::firstrun {

NavigationState navigation_state(int step, bool busy, bool agreed, bool installed) {
  NavigationState s;
  if (installed) return s;
  if (step == kStepCount - 1) {
    s.show_create = true;
    s.create_enabled = agreed && !busy;
  } else {
    s.show_next = true;
    s.next_enabled = !busy;
  }
  if (step > 0) {
    s.show_back = true;
    s.back_enabled = !busy;
  }
  s.cancel_enabled = !busy;
  return s;
}

bool next_key_acts(int step, bool busy) { return !busy && step < kStepCount - 1; }

bool back_key_acts(int step, bool busy) { return !busy && step > 0; }

}  // namespace halvenor::firstrun
