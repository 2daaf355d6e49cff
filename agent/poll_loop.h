// The agent's worker: polls the server, records and delivers receipts in
// order, keeps the certificate authority and browser trust up to date, and
// tells the display what to show or take down.
//
// Each cycle: deliver pending receipts (oldest first; one the server cannot
// take now stops the rest, so their order holds), then, at start, after a
// reconnection and every refresh period, the profile, channel status,
// certificate and browser-trust exchanges, then the poll itself, whose new
// alerts are received at once and put on screen. Between cycles it waits
// poll_delay(), or backoff_delay() after failures, waking early to deliver
// a receipt the display reports (displayed, acknowledged).
//
// Thread-safety: run() on one worker thread; stop(), displayed() and
// acknowledged() from any thread.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "agent/agent_settings.h"
#include "agent/alert_display.h"
#include "agent/alert_tracker.h"
#include "agent/poll_schedule.h"
#include "agent/receipt_journal.h"
#include "agent/server_link.h"
#include "agent/trust_store.h"

namespace halvenor::agent {

// Failed polls in a row before the screen says alerts cannot arrive: one
// failure is ordinary (a server restart); two poll intervals of silence are not.
inline constexpr int kUnreachableAfterFailures = 2;

struct PollOptions {
  PollTiming timing;
  double refresh_seconds = 300.0;
  // Headless only: acknowledge alerts this long after they are displayed.
  std::optional<double> auto_ack_seconds;
  // One cycle, then return: 0 when it reached the server, 1 otherwise.
  bool once = false;
  std::filesystem::path state_folder;
};

class PollLoop {
 public:
  PollLoop(const AgentSettings& settings, TrustStore& trust, ServerLink& link, ReceiptJournal& journal,
           AlertDisplay& display, PollOptions options);

  // Runs until stop() (returns 0), or one cycle with `once`.
  int run();
  void stop();
  // From the display: the alert is on screen / the person acknowledged it.
  void displayed(const std::string& id);
  void acknowledged(const std::string& id);

 private:
  enum class Kind { Displayed, Acknowledged };
  struct Event {
    Kind kind;
    std::string id;
  };

  void cycle(bool refresh);
  void deliver_receipts();
  void refresh_profile();
  void check_certificate();
  void check_browser_trust();
  void poll();
  void handle_events();
  void acknowledge_due();
  void record(const Receipt& receipt);
  double now() const;
  // Waits until `seconds` passed or stop(); handles display events meanwhile.
  void wait(double seconds);

  const AgentSettings& settings_;
  TrustStore& trust_;
  ServerLink& link_;
  ReceiptJournal& journal_;
  AlertDisplay& display_;
  PollOptions options_;
  AlertTracker tracker_;
  std::mt19937_64 random_;
  std::string last_profile_;
  std::string last_failure_;
  double last_answer_ = 0;  // when the server last answered a poll

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Event> events_;
  std::atomic<bool> stopping_{false};
};

}  // namespace halvenor::agent
