// Drives the Windows alert screens the way the poll loop does, without a
// server, and checks what reaches the desktop: windows, their places and
// stacking, the Acknowledge button by mouse and keyboard, retractions, the
// unreachable strip and the notification-area icon. Prints "ok - ..." or
// "FAIL - ..." per check and "SCREENSHOT <name>" where the desktop is worth
// a picture; with a cue folder argument it waits for <name>.done there
// before going on, so that run_screen_tests.sh can take the picture. Exits
// with 1 when a check failed.
#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/windows/alarm_sound.h"
#include "agent/windows/alert_screens.h"
#include "agent/windows/screen_text.h"
#include "agent/windows/tray_icon.h"

namespace {

using halvenor::agent::AlertKind;
using halvenor::agent::AlertView;
namespace win32 = halvenor::agent::win32;
using namespace std::chrono_literals;

int failures = 0;
std::filesystem::path cue_folder;

void check(bool passed, const std::string& what) {
  std::printf("%s - %s\n", passed ? "ok" : "FAIL", what.c_str());
  std::fflush(stdout);
  if (!passed) ++failures;
}

// Stands in for the poll loop: records what the screens report.
class Recorder {
 public:
  void displayed(const std::string& id) { note(displayed_, id); }
  void acknowledged(const std::string& id) { note(acknowledged_, id); }
  bool wait_displayed(const std::string& id) { return wait(displayed_, id); }
  bool wait_acknowledged(const std::string& id, std::chrono::milliseconds most = 10s) {
    return wait(acknowledged_, id, most);
  }
  int times_displayed(const std::string& id) { return count(displayed_, id); }
  int times_acknowledged(const std::string& id) { return count(acknowledged_, id); }

 private:
  void note(std::map<std::string, int>& seen, const std::string& id) {
    std::lock_guard lock(mutex_);
    ++seen[id];
    changed_.notify_all();
  }
  bool wait(std::map<std::string, int>& seen, const std::string& id, std::chrono::milliseconds most = 10s) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, most, [&] { return seen.count(id) != 0; });
  }
  int count(std::map<std::string, int>& seen, const std::string& id) {
    std::lock_guard lock(mutex_);
    return seen.count(id) != 0 ? seen[id] : 0;
  }
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, int> displayed_, acknowledged_;
};

// Presses in an alert's first second are ignored by design; a person
// reads it first.
void read_it() { std::this_thread::sleep_for(1100ms); }

void screenshot(const std::string& name) {
  std::printf("SCREENSHOT %s\n", name.c_str());
  std::fflush(stdout);
  if (cue_folder.empty()) {
    std::this_thread::sleep_for(300ms);
    return;
  }
  const auto done = cue_folder / (name + ".done");
  for (int i = 0; i < 300 && !std::filesystem::exists(done); ++i) std::this_thread::sleep_for(100ms);
}

std::vector<HWND> windows_of(const wchar_t* type) {
  struct Search {
    const wchar_t* type;
    std::vector<HWND> found;
  } search{type, {}};
  EnumWindows(
      [](HWND window, LPARAM data) -> BOOL {
        auto* search = reinterpret_cast<Search*>(data);
        wchar_t name[64] = {};
        DWORD process = 0;
        GetWindowThreadProcessId(window, &process);
        if (process == GetCurrentProcessId() && IsWindowVisible(window) &&
            GetClassNameW(window, name, 64) > 0 && std::wstring(name) == search->type)
          search->found.push_back(window);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&search));
  return search.found;
}

// Waits (up to 8 s) until there are `count` visible windows of `type`.
std::vector<HWND> await_windows(const wchar_t* type, std::size_t count) {
  std::vector<HWND> found;
  for (int i = 0; i < 80; ++i) {
    found = windows_of(type);
    if (found.size() == count) break;
    std::this_thread::sleep_for(100ms);
  }
  return found;
}

std::vector<MONITORINFO> monitors() {
  std::vector<MONITORINFO> found;
  EnumDisplayMonitors(
      nullptr, nullptr,
      [](HMONITOR monitor, HDC, LPRECT, LPARAM data) -> BOOL {
        MONITORINFO info{};
        info.cbSize = sizeof(info);
        if (GetMonitorInfoW(monitor, &info)) reinterpret_cast<std::vector<MONITORINFO>*>(data)->push_back(info);
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&found));
  return found;
}

MONITORINFO primary() {
  for (const MONITORINFO& info : monitors())
    if (info.dwFlags & MONITORINFOF_PRIMARY) return info;
  return MONITORINFO{};
}

RECT rect_of(HWND window) {
  RECT box{};
  GetWindowRect(window, &box);
  return box;
}

std::string show_rect(const RECT& box) {
  return "(" + std::to_string(box.left) + "," + std::to_string(box.top) + ")-(" + std::to_string(box.right) + "," +
         std::to_string(box.bottom) + ")";
}

// Work the screens do on their own thread is seen here a moment later.
// Under Wine without a window manager, taking a full-screen window down
// blocks that thread for up to two seconds (Wine waits for a window manager
// to confirm), hence five seconds.
template <typename Condition>
bool eventually(Condition&& holds) {
  for (int i = 0; i < 250; ++i) {
    if (holds()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return holds();
}

bool same(const RECT& a, const RECT& b) { return EqualRect(&a, &b) != FALSE; }

// The top-level window a person sees at `point`.
HWND seen_at(POINT point) {
  HWND window = WindowFromPoint(point);
  return window != nullptr ? GetAncestor(window, GA_ROOT) : nullptr;
}

std::wstring text_of(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

void click(HWND control) {
  const RECT box = rect_of(control);
  SetCursorPos((box.left + box.right) / 2, (box.top + box.bottom) / 2);
  std::this_thread::sleep_for(100ms);
  INPUT press[2] = {};
  press[0].type = press[1].type = INPUT_MOUSE;
  press[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
  press[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
  SendInput(2, press, sizeof(INPUT));
}

void key(WORD code) {
  INPUT press[2] = {};
  press[0].type = press[1].type = INPUT_KEYBOARD;
  press[0].ki.wVk = press[1].ki.wVk = code;
  press[1].ki.dwFlags = KEYEVENTF_KEYUP;
  SendInput(2, press, sizeof(INPUT));
}

AlertView alert(const std::string& id, AlertKind kind, bool exercise, bool stand_down, const std::string& title,
                const std::string& body) {
  AlertView view;
  view.id = id;
  view.kind = kind;
  view.exercise = exercise;
  view.stand_down = stand_down;
  view.title = title;
  view.body = body;
  return view;
}

// Everything a person must see of a critical alert: one window per monitor,
// each covering it; its band seen on top at every monitor; the keyboard on
// Acknowledge.
std::vector<HWND> check_critical(const std::string& id, DWORD ui_thread) {
  const auto screens = monitors();
  const auto windows = await_windows(win32::kCriticalClass, screens.size());
  check(windows.size() == screens.size(),
        id + ": " + std::to_string(windows.size()) + " critical windows for " + std::to_string(screens.size()) +
            " monitors");
  for (const MONITORINFO& screen : screens) {
    HWND covering = nullptr;
    for (HWND window : windows)
      if (same(rect_of(window), screen.rcMonitor)) covering = window;
    check(covering != nullptr, id + ": a window covers the monitor " + show_rect(screen.rcMonitor));
    for (LONG x : {screen.rcMonitor.left + 5, (screen.rcMonitor.left + screen.rcMonitor.right) / 2,
                   screen.rcMonitor.right - 5}) {
      const POINT band{x, screen.rcMonitor.top + 10};
      check(covering != nullptr && seen_at(band) == covering,
            id + ": its band is what shows at (" + std::to_string(band.x) + "," + std::to_string(band.y) + ")");
    }
  }
  for (HWND window : windows) std::printf("  critical window %s\n", show_rect(rect_of(window)).c_str());
  GUITHREADINFO gui{};
  gui.cbSize = sizeof(gui);
  const bool known = GetGUIThreadInfo(ui_thread, &gui) != FALSE;
  check(known && gui.hwndFocus != nullptr && GetDlgCtrlID(gui.hwndFocus) == win32::kAcknowledgeId,
        id + ": the keyboard focus is on Acknowledge");
  return windows;
}

void script(win32::AlertScreens& screens, Recorder& loop, DWORD ui_thread) {
  const MONITORINFO main_screen = primary();
  std::printf("  monitors: %zu, primary %s, work area %s\n", monitors().size(),
              show_rect(main_screen.rcMonitor).c_str(), show_rect(main_screen.rcWork).c_str());

  // A critical exercise whose texts carry non-ASCII letters and what would
  // be conversions or accelerators if anything interpreted them.
  const std::string title = "\xC3\x89vacuation \xE2\x80\x93 b\xC3\xA2timent B \xE2\x9C\x93 & %s%n";
  screens.show(alert("drill-1", AlertKind::Critical, true, false, title,
                     "Leave by the east stairs. Do not use the lifts. %x {0} &&Assemble at point C."));
  check(loop.wait_displayed("drill-1"), "drill-1: reported displayed");
  auto criticals = check_critical("drill-1", ui_thread);
  check(!criticals.empty() && text_of(criticals.front()) == L"\u00c9vacuation \u2013 b\u00e2timent B \u2713 & %s%n",
        "drill-1: the title reaches Win32 as the same text in UTF-16");
  screenshot("critical-exercise");

  screens.show(alert("ticker-1", AlertKind::Ticker, false, false, "Car park B closed",
                     "Car park B is closed for resurfacing until Friday; staff parking moves to the multi-storey on "
                     "Mill Lane, where levels 3 and 4 are reserved for night staff arriving after 18:00."));
  check(loop.wait_displayed("ticker-1"), "ticker-1: reported displayed while a critical alert is up");
  auto tickers = await_windows(win32::kTickerClass, 1);
  check(tickers.size() == 1, "ticker-1: one ticker window");
  if (!tickers.empty()) {
    HWND ticker = tickers.front();
    std::printf("  ticker window %s\n", show_rect(rect_of(ticker)).c_str());
    check((GetWindowLongPtrW(ticker, GWL_EXSTYLE) & WS_EX_TOPMOST) == 0,
          "ticker-1: not top-most while a critical alert is up");
    bool beneath = true;
    for (HWND critical : criticals) {
      bool found_below = false;
      for (HWND next = GetWindow(critical, GW_HWNDNEXT); next != nullptr; next = GetWindow(next, GW_HWNDNEXT))
        found_below = found_below || next == ticker;
      beneath = beneath && found_below;
    }
    check(beneath, "ticker-1: beneath every critical window");
    check(GetForegroundWindow() != ticker, "ticker-1: did not take the focus");
  }
  check_critical("drill-1 with a ticker", ui_thread);
  screenshot("critical-over-ticker");

  // A monitor came or went: the alert covers the monitors as they are now.
  SendMessageW(FindWindowW(win32::kScreensClass, nullptr), WM_DISPLAYCHANGE, 32,
               MAKELPARAM(main_screen.rcMonitor.right, main_screen.rcMonitor.bottom));
  criticals = check_critical("drill-1 after a display change", ui_thread);

  HWND button = criticals.empty() ? nullptr : GetDlgItem(criticals.front(), win32::kAcknowledgeId);
  check(button != nullptr && IsWindowVisible(button), "drill-1: Acknowledge is there");
  if (button != nullptr) {
    const RECT box = rect_of(button);
    check(box.bottom <= main_screen.rcMonitor.bottom && box.top >= main_screen.rcMonitor.top,
          "drill-1: Acknowledge is on the screen " + show_rect(box));
    read_it();
    click(button);
  }
  check(loop.wait_acknowledged("drill-1"), "drill-1: a mouse click on Acknowledge acknowledges it");
  check(await_windows(win32::kCriticalClass, 0).empty(), "drill-1: its windows are gone");
  if (!tickers.empty()) {
    HWND ticker = tickers.front();
    const RECT box = rect_of(ticker);
    check(same(RECT{main_screen.rcMonitor.left, main_screen.rcMonitor.top, main_screen.rcMonitor.right,
                    main_screen.rcMonitor.top + win32::kTickerHeight},
               box),
          "ticker-1: spans the top of the primary monitor " + show_rect(box));
    check(eventually([&] { return (GetWindowLongPtrW(ticker, GWL_EXSTYLE) & WS_EX_TOPMOST) != 0; }),
          "ticker-1: top-most again");
    check(seen_at(POINT{(box.left + box.right) / 2, (box.top + box.bottom) / 2}) == ticker,
          "ticker-1: in view again");
  }
  screenshot("ticker");

  // Stand-downs, acknowledged from the keyboard.
  screens.show(alert("standdown-1", AlertKind::Critical, false, true, "All clear",
                     "The incident in building B is over. Return to normal duties."));
  check(loop.wait_displayed("standdown-1"), "standdown-1: reported displayed");
  key(VK_RETURN);
  check(!loop.wait_acknowledged("standdown-1", 700ms), "standdown-1: Enter the moment it comes up is ignored");
  check_critical("standdown-1", ui_thread);
  screenshot("critical-stand-down");
  read_it();
  key(VK_RETURN);
  check(loop.wait_acknowledged("standdown-1"), "standdown-1: Enter acknowledges it");

  screens.show(alert("standdown-2", AlertKind::Critical, true, true, "Exercise over",
                     "The evacuation exercise has ended. Thank you."));
  check(loop.wait_displayed("standdown-2"), "standdown-2: reported displayed");
  check_critical("standdown-2", ui_thread);
  screenshot("critical-exercise-stand-down");
  read_it();
  key(VK_SPACE);
  check(loop.wait_acknowledged("standdown-2"), "standdown-2: Space acknowledges it");

  // Withdrawn by the server: the note, no button, then gone, never acknowledged.
  screens.retract("ticker-1", "Cancelled");
  if (!tickers.empty()) {
    HWND ticker = tickers.front();
    const std::wstring note = L"Cancelled  -  the alert service has withdrawn this alert.";
    check(eventually([&] { return text_of(ticker) == note; }), "ticker-1: says it was cancelled");
    check(GetDlgItem(ticker, win32::kAcknowledgeId) == nullptr, "ticker-1: no Acknowledge once cancelled");
  }
  screenshot("ticker-cancelled");
  check(await_windows(win32::kTickerClass, 0).empty(), "ticker-1: gone a few seconds later");

  screens.show(alert("drill-2", AlertKind::Critical, false, false, "Fire, ward 7", "Evacuate ward 7 now."));
  check(loop.wait_displayed("drill-2"), "drill-2: reported displayed");
  screens.retract("drill-2", "Expired");
  criticals = windows_of(win32::kCriticalClass);
  check(!criticals.empty() && eventually([&] { return text_of(criticals.front()) == L"Expired"; }),
        "drill-2: says it expired");
  check(!criticals.empty() && GetDlgItem(criticals.front(), win32::kAcknowledgeId) == nullptr,
        "drill-2: no Acknowledge once expired");
  screenshot("critical-expired");
  check(await_windows(win32::kCriticalClass, 0).empty(), "drill-2: gone a few seconds later");

  screens.show(alert("ticker-2", AlertKind::Ticker, true, false, "Test", "Withdrawn at once."));
  check(loop.wait_displayed("ticker-2"), "ticker-2: reported displayed");
  screens.withdraw("ticker-2");
  check(await_windows(win32::kTickerClass, 0).empty(), "ticker-2: withdrawn");

  screens.show(alert("ticker-3", AlertKind::Ticker, true, false, "Lift 4", "Out of service this afternoon."));
  check(loop.wait_displayed("ticker-3"), "ticker-3: reported displayed");
  tickers = await_windows(win32::kTickerClass, 1);
  read_it();
  if (!tickers.empty()) click(GetDlgItem(tickers.front(), win32::kAcknowledgeId));
  check(loop.wait_acknowledged("ticker-3"), "ticker-3: a click on its Acknowledge acknowledges it");
  check(await_windows(win32::kTickerClass, 0).empty(), "ticker-3: gone once acknowledged");

  // The alert service stops answering, then answers again.
  screens.reachability(false, static_cast<double>(std::time(nullptr) - 600));
  const auto strips = await_windows(win32::kUnreachableClass, 1);
  check(strips.size() == 1, "unreachable: the strip is up");
  if (!strips.empty()) {
    const RECT box = rect_of(strips.front());
    const RECT& work = main_screen.rcWork;
    std::printf("  unreachable strip %s\n", show_rect(box).c_str());
    check(box.right == work.right - 8 && box.bottom == work.bottom - 8 && box.left >= work.left,
          "unreachable: in the bottom corner of the primary monitor's work area");
    check(text_of(strips.front()).rfind(L"Alerts cannot reach this computer", 0) == 0 &&
              text_of(strips.front()).find(L"(last answer ") != std::wstring::npos,
          "unreachable: says alerts cannot arrive and when the service last answered");
  }
  screenshot("unreachable");
  screens.reachability(true, static_cast<double>(std::time(nullptr)));
  check(await_windows(win32::kUnreachableClass, 0).empty(), "reachable again: the strip is gone");

  for (const char* id : {"drill-1", "ticker-1", "standdown-1", "standdown-2", "drill-2", "ticker-2", "ticker-3"})
    check(loop.times_displayed(id) == 1, std::string(id) + ": displayed reported exactly once");
  check(loop.times_acknowledged("ticker-1") == 0 && loop.times_acknowledged("drill-2") == 0 &&
            loop.times_acknowledged("ticker-2") == 0,
        "withdrawn alerts were never acknowledged");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) cue_folder = argv[1];
  {
    win32::AlarmSound sound;
    std::printf("  alarm: rang %s\n", win32::rang_name(sound.ring()));
  }
  {
    // The icon alone, so that its own answers can be checked.
    HWND owner = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
    {
      win32::TrayIcon icon(owner, WM_APP + 9);
      check(icon.added(), "tray: the notification area took the icon");
      icon.reachability(false, win32::tray_tip(false, "14:05"));
      check(icon.added(), "tray: it stays there, warning that alerts cannot arrive");
    }
    DestroyWindow(owner);
  }
  Recorder loop;
  win32::AlertScreens screens;
  screens.attach(loop);
  const DWORD ui_thread = GetCurrentThreadId();
  std::thread driver([&] {
    script(screens, loop, ui_thread);
    screens.quit();
  });
  screens.run();
  driver.join();
  std::printf("%s: %d failed\n", failures == 0 ? "PASS" : "FAIL", failures);
  return failures == 0 ? 0 : 1;
}
