// Where alerts appear: the desktop window or, in headless mode, the log.
// The poll loop calls these from its own thread.
#pragma once

#include <string>

#include "agent/alert_tracker.h"

namespace halvenor::agent {

class AlertDisplay {
 public:
  virtual ~AlertDisplay() = default;
  // Puts the alert up. Returns true when it is on screen on return; false
  // when the display reports it later through PollLoop::displayed().
  virtual bool show(const AlertView& alert) = 0;
  // Takes it down (a no-op when it is not up).
  virtual void withdraw(const std::string& id) = 0;
};

// Headless: "showing" is the log line the poll loop writes.
class HeadlessDisplay : public AlertDisplay {
 public:
  bool show(const AlertView&) override { return true; }
  void withdraw(const std::string&) override {}
};

}  // namespace halvenor::agent
