// The desktop display: Tk windows on the agent's main thread.
//
// A ticker is a strip across the top of the screen (several stack below
// each other); a critical alert fills the screen, stays on top and sounds
// the alarm (the display's bell every few seconds and, where the desktop has
// the freedesktop sound theme and paplay, an alarm sound; neither is needed).
// Exercises carry a bold "EXERCISE" mark; a stand-down says the incident is
// concluded. While a critical alert is up, tickers go beneath it so that
// nothing covers its EXERCISE or LIVE band. An alert the server withdrew
// says "Cancelled" (or "Expired") for a few seconds before it goes; when the
// alert service stops answering, a small strip in the bottom corner says
// that alerts cannot arrive, until it answers again. Each has an Acknowledge button, the only way an alert is
// acknowledged on a desktop.
//
// Alert texts never become script text: the window procedures are fixed, and
// each alert's fields reach them as separate arguments through
// Tcl_EvalObjv.
//
// Threads: show() and withdraw() (from the poll loop) queue work that a Tk
// timer on the main thread carries out; quit() may come from any thread;
// everything else belongs to the main thread.
//
// Test seam: when the environment variable HALVENOR_AGENT_TEST_SCRIPT names
// a Tcl file, it is sourced once the window procedures exist. A script may
// define ::halvenor::on_shown {id kind window}, called after an alert
// window is first mapped (the Acknowledge button is $window.ack). Tests use it
// to take screenshots and press the button; installations never set it.
#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/alert_display.h"

namespace halvenor::tk {
class TclInterpreter;
}

namespace halvenor::agent {

class PollLoop;

inline constexpr char kTestScriptVariable[] = "HALVENOR_AGENT_TEST_SCRIPT";

class AlertWindow : public AlertDisplay {
 public:
  // Connects to the desktop ($DISPLAY). Throws AgentSetupError when Tk
  // cannot start (no display).
  AlertWindow();
  ~AlertWindow() override;
  AlertWindow(const AlertWindow&) = delete;
  AlertWindow& operator=(const AlertWindow&) = delete;

  // The loop that receives "displayed" and "acknowledged"; before run().
  void attach(PollLoop& loop) { loop_ = &loop; }
  PollLoop* loop() const { return loop_; }
  bool show(const AlertView& alert) override;
  void withdraw(const std::string& id) override;
  void retract(const std::string& id, const std::string& note) override;
  void reachability(bool reachable, double since) override;
  // The Tk event loop, until quit().
  void run();
  void quit();

 private:
  struct Job {
    enum class What { kShow, kWithdraw, kRetract, kReachability } what = What::kWithdraw;
    AlertView alert;   // id only, unless shown
    std::string note;  // retraction note, or the time of the last answer
    bool reachable = true;
  };
  void queue(Job job);
  void on_timer();
  void carry_out(const Job& job);
  bool call(const std::vector<std::string>& words);
  void sound_alarm();

  std::unique_ptr<tk::TclInterpreter> tcl_;
  PollLoop* loop_ = nullptr;
  std::mutex mutex_;
  std::vector<Job> jobs_;
  std::atomic<bool> quit_{false};
  std::map<std::string, std::string> windows_;  // alert id -> window path (main thread)
  unsigned long next_window_ = 0;
};

}  // namespace halvenor::agent
