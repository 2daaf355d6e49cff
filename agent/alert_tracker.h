// What the agent has on screen and what each poll, display and
// acknowledgement means for it: which alerts to show or take down and which
// receipts to record. Decisions only; the poll loop carries them out.
//
// Rules:
// - An alert in the poll result is received at once (one "received" receipt
//   per alert, ever) and shown unless the person already acknowledged it
//   here (the acknowledgement may still be on its way to the server).
// - An alert on screen that is no longer in the poll result (cancelled,
//   expired, acknowledged elsewhere) is taken down.
// - "displayed" is recorded once the alert is on screen, unless this agent
//   or the server already recorded it; "acknowledged" only when the person
//   acknowledges (or the headless auto-acknowledgement does).
//
// Not thread-safe: the poll loop's thread owns it.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "agent/receipt_journal.h"
#include "base/json_text.h"

namespace halvenor::agent {

enum class AlertKind { Ticker, Critical };

// An alert as the screen shows it.
struct AlertView {
  std::string id;
  std::string title;
  std::string body;
  AlertKind kind = AlertKind::Ticker;
  bool exercise = true;
  bool stand_down = false;  // the end of an incident, shown as such
  std::string concludes;    // for a stand-down: the incident it ends
  double expires = 0;
};

// Reads one poll result row. Throws std::invalid_argument when it lacks an
// identifier; other fields fall back to safe values (an unknown severity is
// shown as a ticker, a missing test flag as an exercise would understate a
// live alert, so it counts as live).
AlertView alert_view(const Json& row);

struct PollPlan {
  std::vector<Receipt> receipts;      // to record, in this order
  std::vector<AlertView> show;        // to put on screen, in poll order
  std::vector<std::string> withdraw;  // to take off the screen
  // On screen but no longer in the server's list (cancelled or expired):
  // to take off the screen with a word of why.
  struct Gone {
    std::string id;
    double expires = 0;
  };
  std::vector<Gone> gone;
};

class AlertTracker {
 public:
  // `polled`: the poll result (a JSON array). Rows that cannot be read are
  // skipped. Updates what is on screen as the plan says.
  PollPlan apply_poll(const Json& polled, const ReceiptJournal& journal);
  // The display reports the alert on screen (at `now`).
  std::optional<Receipt> displayed(const std::string& id, double now, const ReceiptJournal& journal);
  // The person acknowledged; the alert leaves the screen.
  std::optional<Receipt> acknowledged(const std::string& id, const ReceiptJournal& journal);
  // Alerts on screen for at least `after_seconds` since they were displayed.
  std::vector<std::string> due_for_auto_ack(double now, double after_seconds) const;
  // The earliest time an alert becomes due, if any is on screen and displayed.
  std::optional<double> next_auto_ack(double after_seconds) const;

  bool on_screen(const std::string& id) const { return screen_.count(id) != 0; }
  std::size_t on_screen_count() const { return screen_.size(); }

 private:
  struct Shown {
    bool server_displayed = false;  // the server had a "displayed" time
    double expires = 0;
    std::optional<double> displayed_at;
  };
  std::map<std::string, Shown> screen_;
  std::set<std::string> acknowledged_here_;
};

}  // namespace halvenor::agent
