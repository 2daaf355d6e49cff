// The Windows desktop display: Win32 windows on the agent's main thread.
//
// A critical alert fills every monitor with a top-most window of its own
// and rings the alarm every few seconds until it is acknowledged; its
// EXERCISE or LIVE band runs across the top of each. A ticker is a strip
// across the top of the primary monitor (several stack below each other)
// that never takes the keyboard focus; while a critical alert is up,
// tickers go beneath it so that nothing covers its band. A stand-down says
// the incident is concluded. An alert the server withdrew says "Cancelled"
// (or "Expired", "Concluded") for a few seconds before it goes; while the
// alert service does not answer, a small strip in the bottom corner of the
// primary monitor says that alerts cannot arrive, and the notification-area
// icon shows the same. The Acknowledge button (mouse, or Enter or Space
// when it has the focus, which a critical alert gives it) is the only way an
// alert is acknowledged on a desktop; it ignores presses in the first second
// an alert is up, so that nobody acknowledges one unread. Closing the window
// does nothing.
//
// Threads: construct and run() on one thread, which owns every window.
// show(), withdraw(), retract() and reachability() come from the poll loop
// and quit() from anywhere: they queue work and post a message to that
// thread, never touching a window themselves.
#pragma once

#include <windows.h>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "agent/alert_display.h"
#include "agent/windows/alarm_sound.h"
#include "agent/windows/screen_painting.h"
#include "agent/windows/tray_icon.h"

namespace halvenor::agent::win32 {

// Window classes, so that tests and support staff can find the screens.
inline constexpr wchar_t kCriticalClass[] = L"HalvenorCriticalAlert";
inline constexpr wchar_t kTickerClass[] = L"HalvenorTicker";
inline constexpr wchar_t kUnreachableClass[] = L"HalvenorUnreachable";
// The hidden window that takes the poll loop's work, the notification-area
// icon's messages and the desktop's display changes.
inline constexpr wchar_t kScreensClass[] = L"HalvenorScreens";
// The Acknowledge button's control id inside an alert window.
inline constexpr int kAcknowledgeId = 100;

class AlertScreens : public AlertDisplay {
 public:
  // Registers the window classes and adds the notification-area icon.
  // Throws AgentSetupError when there is no desktop to draw on.
  AlertScreens();
  ~AlertScreens() override;
  AlertScreens(const AlertScreens&) = delete;
  AlertScreens& operator=(const AlertScreens&) = delete;

  // The loop (PollLoop, or any type with displayed(id) and acknowledged(id))
  // that receives "displayed" and "acknowledged"; before run(). The screens
  // need nothing else of it, which lets a test drive them without a server.
  template <typename Loop>
  void attach(Loop& loop) {
    displayed_ = [&loop](const std::string& id) { loop.displayed(id); };
    acknowledged_ = [&loop](const std::string& id) { loop.acknowledged(id); };
  }

  bool show(const AlertView& alert) override;
  void withdraw(const std::string& id) override;
  void retract(const std::string& id, const std::string& note) override;
  void reachability(bool reachable, double since) override;
  // The message loop, until quit().
  void run();
  void quit();

 private:
  struct Job {
    enum class What { kShow, kWithdraw, kRetract, kReachability } what = What::kWithdraw;
    AlertView alert;   // id only, unless shown
    std::string note;  // retraction note, or the time of the last answer
    bool reachable = true;
  };
  // One window of an alert (a critical alert has one per monitor).
  struct Pane {
    std::string id;
    bool critical = false;
    bool retracted = false;
    PaneText text;
    int scroll = 0;      // tickers: pixels scrolled
    DWORD shown_at = 0;  // GetTickCount() when it came up
  };
  struct Shown {
    bool critical = false;
    AlertView alert;  // to cover the monitors again when they change
    std::vector<HWND> windows;
  };

  static LRESULT CALLBACK controller_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static LRESULT CALLBACK pane_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  static LRESULT CALLBACK strip_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT on_controller(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT on_pane(HWND window, Pane& pane, UINT message, WPARAM wparam, LPARAM lparam);

  void queue(Job job);
  void carry_out(const Job& job);
  // `report`: tell the loop it is displayed (not when merely redrawn).
  void put_up(const AlertView& alert, bool report);
  HWND make_pane(const AlertView& alert, bool critical, const RECT& area);
  void take_down(const std::string& id);
  void retract_now(const std::string& id, const std::string& note);
  void acknowledge(HWND pane_window);
  void destroy_pane(HWND window);
  // Tickers in rows from the top of the primary monitor, beneath any
  // critical window; critical windows above everything of ours.
  void restack();
  RECT ticker_area(std::size_t row) const;
  void place_button(HWND window, Pane& pane);
  void show_unreachable(bool reachable, const std::string& last_answer);
  void ring();
  // Stops the alarm once no critical alert is left to ring for.
  void settle_alarm();
  bool any_critical() const;

  std::function<void(const std::string&)> displayed_;
  std::function<void(const std::string&)> acknowledged_;
  HINSTANCE instance_;
  HWND controller_ = nullptr;
  HWND strip_ = nullptr;
  std::wstring strip_text_;
  ScreenFonts fonts_;
  AlarmSound alarm_;
  std::unique_ptr<TrayIcon> tray_;
  std::mutex mutex_;
  std::vector<Job> jobs_;
  std::atomic<bool> quitting_{false};
  std::map<std::string, Shown> shown_;         // alert id -> its windows (main thread)
  std::map<HWND, std::unique_ptr<Pane>> panes_;  // every alert window (main thread)
  std::vector<HWND> tickers_;                  // in stacking order, top row first
};

}  // namespace halvenor::agent::win32
