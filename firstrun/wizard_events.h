// Messages from the wizard's worker threads to its window thread.
//
// The workers never touch the window; they post here and the window drains
// the queue on its own timer. The queue is unbounded (a worker posts a few
// messages in its whole life) and safe to use from any thread.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "base/json_text.h"

namespace halvenor::firstrun {

struct WizardEvent {
  enum class Kind { installed, error, progress, finished, startup_error };
  Kind kind;
  std::string text;                // error, progress, startup_error: the message
  Json result;                     // installed, finished, startup_error: the installation result
  std::string warning;             // installed: the warning carried to the final status
  std::vector<std::string> notes;  // finished: the finisher's notes
};

class EventQueue {
 public:
  void post(WizardEvent event);
  // Everything posted so far, oldest first; never waits.
  std::vector<WizardEvent> take_all();

 private:
  std::mutex mutex_;
  std::deque<WizardEvent> events_;
};

}  // namespace halvenor::firstrun
