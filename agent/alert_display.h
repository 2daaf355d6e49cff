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
  // The alert left the server's list (cancelled or expired) while on screen:
  // `note` ("Cancelled", "Expired") says so where it was, briefly, so that a
  // vanishing alert is not mistaken for a fault.
  virtual void retract(const std::string& id, const std::string& note) {
    static_cast<void>(note);
    withdraw(id);
  }
  // Whether the alert service answers; `since` is when it last did (0 when
  // it never has), so a person at the computer knows alerts cannot arrive.
  virtual void reachability(bool reachable, double since) {
    static_cast<void>(reachable);
    static_cast<void>(since);
  }
};

// Headless: "showing" is the log line the poll loop writes.
class HeadlessDisplay : public AlertDisplay {
 public:
  bool show(const AlertView&) override { return true; }
  void withdraw(const std::string&) override {}
};

}  // namespace halvenor::agent
