#include "firstrun/wizard_events.h"

namespace halvenor::firstrun {

void EventQueue::post(WizardEvent event) {
  std::lock_guard lock(mutex_);
  events_.push_back(std::move(event));
}

std::vector<WizardEvent> EventQueue::take_all() {
  std::lock_guard lock(mutex_);
  std::vector<WizardEvent> taken(std::make_move_iterator(events_.begin()), std::make_move_iterator(events_.end()));
  events_.clear();
  return taken;
}

}  // namespace halvenor::firstrun
