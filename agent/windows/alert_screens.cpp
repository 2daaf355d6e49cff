#include "agent/windows/alert_screens.h"

#include <stdexcept>
#include <utility>

#include "agent/windows/screen_monitors.h"
#include "agent/windows/screen_text.h"

namespace halvenor::agent::win32 {
namespace {

constexpr UINT kJobsMessage = WM_APP + 1;
constexpr UINT kQuitMessage = WM_APP + 2;
constexpr UINT kTrayMessage = WM_APP + 3;
constexpr UINT_PTR kAlarmTimer = 1;   // controller: ring while a critical alert is up
constexpr UINT_PTR kScrollTimer = 2;  // ticker: move an over-long line along
constexpr UINT_PTR kRetractTimer = 3; // retracted alert: take the note down
constexpr UINT kAlarmMs = 4000;
constexpr UINT kScrollMs = 40;
constexpr int kScrollStep = 2;
constexpr UINT kRetractMs = 5000;
constexpr DWORD kPressGuardMs = 1000;

bool is_press(UINT message) {
  return message == WM_KEYDOWN || message == WM_KEYUP || message == WM_CHAR || message == WM_LBUTTONDOWN ||
         message == WM_LBUTTONUP || message == WM_LBUTTONDBLCLK;
}

void register_class(HINSTANCE instance, const wchar_t* name, WNDPROC procedure) {
  WNDCLASSEXW type{};
  type.cbSize = sizeof(type);
  type.style = CS_HREDRAW | CS_VREDRAW;
  type.lpfnWndProc = procedure;
  type.hInstance = instance;
  type.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW, whether or not UNICODE is set
  type.lpszClassName = name;
  if (RegisterClassExW(&type) == 0 && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
    throw std::runtime_error("The alert windows cannot be set up on this desktop (error " +
                             std::to_string(GetLastError()) + ").");
}

// The owner stored at creation, for the static window procedures.
template <typename Owner>
Owner* owner_of(HWND window, UINT message, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* owner = static_cast<Owner*>(reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(owner));
    return owner;
  }
  return reinterpret_cast<Owner*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

// Paints through a memory bitmap: the ticker repaints 25 times a second.
template <typename Painter>
void paint_buffered(HWND window, Painter&& painter) {
  PAINTSTRUCT paint{};
  HDC screen = BeginPaint(window, &paint);
  RECT client{};
  GetClientRect(window, &client);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, client.right, client.bottom);
  HGDIOBJ old = SelectObject(memory, bitmap);
  painter(memory, client);
  BitBlt(screen, 0, 0, client.right, client.bottom, memory, 0, 0, SRCCOPY);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  EndPaint(window, &paint);
}

// Windows lets a background program take the foreground only in some
// cases; an alarm that cannot take it stays top-most but its button would
// not hear the keyboard. Sharing the foreground thread's input state for the
// moment of the switch lets it through.
void take_foreground(HWND window) {
  if (SetForegroundWindow(window) && GetForegroundWindow() == window) return;
  HWND current = GetForegroundWindow();
  const DWORD theirs = current != nullptr ? GetWindowThreadProcessId(current, nullptr) : 0;
  const DWORD ours = GetCurrentThreadId();
  const bool attached = theirs != 0 && theirs != ours && AttachThreadInput(ours, theirs, TRUE);
  BringWindowToTop(window);
  SetForegroundWindow(window);
  if (attached) AttachThreadInput(ours, theirs, FALSE);
}

PaneText pane_text(const AlertView& alert, bool critical) {
  PaneText text;
  text.exercise = alert.exercise;
  text.background = alert.stand_down ? kStandDownColour : critical ? kCriticalColour : kTickerColour;
  if (critical) {
    text.mark = band_text(alert);
    text.concluded_line = shows_concluded_line(alert);
    text.title = wide(alert.title);
    text.body = wide(alert.body);
  } else {
    text.mark = alert_mark(alert);
    text.body = ticker_text(alert);
  }
  return text;
}

}  // namespace

AlertScreens::AlertScreens() : instance_(GetModuleHandleW(nullptr)) {
  register_class(instance_, kScreensClass, controller_proc);
  register_class(instance_, kCriticalClass, pane_proc);
  register_class(instance_, kTickerClass, pane_proc);
  register_class(instance_, kUnreachableClass, strip_proc);
  // A hidden top-level window rather than a message-only one: only
  // top-level windows hear Explorer's "TaskbarCreated" broadcast.
  controller_ = CreateWindowExW(WS_EX_TOOLWINDOW, kScreensClass, L"Halvenor", WS_POPUP, 0, 0, 0, 0, nullptr,
                                nullptr, instance_, this);
  if (controller_ == nullptr)
    throw std::runtime_error("The alert windows cannot be set up on this desktop (error " +
                             std::to_string(GetLastError()) + ").");
  tray_ = std::make_unique<TrayIcon>(controller_, kTrayMessage);
}

AlertScreens::~AlertScreens() {
  KillTimer(controller_, kAlarmTimer);
  alarm_.silence();
  std::vector<HWND> windows;
  for (const auto& [window, pane] : panes_) windows.push_back(window);
  for (HWND window : windows) DestroyWindow(window);
  panes_.clear();
  if (strip_ != nullptr) DestroyWindow(strip_);
  tray_.reset();
  DestroyWindow(controller_);
}

void AlertScreens::queue(Job job) {
  bool first = false;
  {
    std::lock_guard lock(mutex_);
    first = jobs_.empty();
    jobs_.push_back(std::move(job));
  }
  // One message drains the whole queue; posting is safe from any thread.
  if (first) PostMessageW(controller_, kJobsMessage, 0, 0);
}

bool AlertScreens::show(const AlertView& alert) {
  Job job;
  job.what = Job::What::kShow;
  job.alert = alert;
  queue(std::move(job));
  return false;
}

void AlertScreens::withdraw(const std::string& id) {
  Job job;
  job.alert.id = id;
  queue(std::move(job));
}

void AlertScreens::retract(const std::string& id, const std::string& note) {
  Job job;
  job.what = Job::What::kRetract;
  job.alert.id = id;
  job.note = note;
  queue(std::move(job));
}

void AlertScreens::reachability(bool reachable, double since) {
  Job job;
  job.what = Job::What::kReachability;
  job.reachable = reachable;
  job.note = last_answer_time(since);
  queue(std::move(job));
}

void AlertScreens::quit() {
  quitting_ = true;
  PostMessageW(controller_, kQuitMessage, 0, 0);
}

void AlertScreens::run() {
  MSG message{};
  while (!quitting_ && GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (GetDlgCtrlID(message.hwnd) == kAcknowledgeId && is_press(message.message)) {
      auto pane = panes_.find(GetParent(message.hwnd));
      if (pane != panes_.end()) {
        // An alert that comes up under someone typing or clicking must not
        // be acknowledged by the next keystroke or click, unread. The
        // message's own time counts, not when it is handled.
        if (static_cast<LONG>(message.time - pane->second->shown_at) < static_cast<LONG>(kPressGuardMs)) continue;
        // A push button answers Space by itself but Enter only inside a
        // dialog; an alarm screen must take either.
        if (message.message == WM_KEYDOWN && message.wParam == VK_RETURN) {
          SendMessageW(message.hwnd, BM_CLICK, 0, 0);
          continue;
        }
      }
    }
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

LRESULT CALLBACK AlertScreens::controller_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  AlertScreens* screens = owner_of<AlertScreens>(window, message, lparam);
  if (screens == nullptr || screens->controller_ != window) return DefWindowProcW(window, message, wparam, lparam);
  return screens->on_controller(window, message, wparam, lparam);
}

LRESULT AlertScreens::on_controller(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case kJobsMessage: {
      std::vector<Job> jobs;
      {
        std::lock_guard lock(mutex_);
        jobs.swap(jobs_);
      }
      for (const Job& job : jobs) carry_out(job);
      return 0;
    }
    case kQuitMessage:
      PostQuitMessage(0);
      return 0;
    case kTrayMessage:
      return 0;  // the icon only informs; it has no menu
    case WM_TIMER:
      if (wparam == kAlarmTimer) ring();
      return 0;
    case WM_DISPLAYCHANGE: {
      // A monitor came or went: a critical alert must cover what is there now.
      std::vector<AlertView> criticals;
      for (const auto& [id, shown] : shown_)
        if (shown.critical) criticals.push_back(shown.alert);
      for (const AlertView& alert : criticals) {
        take_down(alert.id);
        put_up(alert, false);
      }
      restack();
      return 0;
    }
    default:
      if (tray_ != nullptr && message == tray_->taskbar_created()) {
        tray_->restore();
        return 0;
      }
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

void AlertScreens::carry_out(const Job& job) {
  switch (job.what) {
    case Job::What::kReachability:
      show_unreachable(job.reachable, job.note);
      return;
    case Job::What::kShow:
      take_down(job.alert.id);
      put_up(job.alert, true);
      return;
    case Job::What::kRetract:
      retract_now(job.alert.id, job.note);
      return;
    case Job::What::kWithdraw:
      take_down(job.alert.id);
      return;
  }
}

void AlertScreens::put_up(const AlertView& alert, bool report) {
  const bool critical = alert.kind == AlertKind::Critical;
  Shown shown;
  shown.critical = critical;
  shown.alert = alert;
  if (critical) {
    for (const RECT& area : monitor_areas()) {
      HWND window = make_pane(alert, true, area);
      if (window != nullptr) shown.windows.push_back(window);
    }
  } else if (HWND window = make_pane(alert, false, ticker_area(tickers_.size())); window != nullptr) {
    shown.windows.push_back(window);
    tickers_.push_back(window);
  }
  if (shown.windows.empty()) return;  // no window: "displayed" stays unreported
  shown_[alert.id] = shown;
  for (std::size_t i = 0; i < shown.windows.size(); ++i) {
    HWND window = shown.windows[i];
    // The first critical window is on the primary monitor: it takes the focus
    // so that Enter or Space acknowledges; a ticker never takes it.
    ShowWindow(window, critical && i == 0 ? SW_SHOW : SW_SHOWNOACTIVATE);
    UpdateWindow(window);
    if (auto pane = panes_.find(window); pane != panes_.end()) pane->second->shown_at = GetTickCount();
  }
  // Only once shown: Wine hands the stacking of visible windows alone to
  // X11, and raises only (see restack()).
  restack();
  if (critical) {
    HWND primary = shown.windows.front();
    take_foreground(primary);
    if (HWND button = GetDlgItem(primary, kAcknowledgeId); button != nullptr) SetFocus(button);
    if (report) ring();
    SetTimer(controller_, kAlarmTimer, kAlarmMs, nullptr);
  }
  if (report && displayed_ && IsWindowVisible(shown.windows.front())) displayed_(alert.id);
}

HWND AlertScreens::make_pane(const AlertView& alert, bool critical, const RECT& area) {
  auto pane = std::make_unique<Pane>();
  pane->id = alert.id;
  pane->critical = critical;
  pane->text = pane_text(alert, critical);
  // Critical alerts appear in the taskbar and Alt+Tab; tickers stay out of
  // both and out of the focus.
  const DWORD extended = critical ? WS_EX_TOPMOST : WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE;
  const std::wstring& name = critical ? pane->text.title : pane->text.body;
  HWND window = CreateWindowExW(extended, critical ? kCriticalClass : kTickerClass, name.c_str(),
                                WS_POPUP | WS_CLIPCHILDREN, area.left, area.top, area.right - area.left,
                                area.bottom - area.top, nullptr, nullptr, instance_, this);
  if (window == nullptr) return nullptr;
  HWND button = CreateWindowExW(0, L"BUTTON", kAcknowledge, WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_PUSHBUTTON, 0,
                                0, 1, 1, window, reinterpret_cast<HMENU>(static_cast<INT_PTR>(kAcknowledgeId)),
                                instance_, nullptr);
  if (button != nullptr)
    SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(critical ? fonts_.button : fonts_.ticker_button),
                 TRUE);
  Pane& placed = *pane;
  panes_[window] = std::move(pane);
  place_button(window, placed);
  if (!critical) SetTimer(window, kScrollTimer, kScrollMs, nullptr);
  return window;
}

void AlertScreens::place_button(HWND window, Pane& pane) {
  HWND button = GetDlgItem(window, kAcknowledgeId);
  if (button == nullptr) return;
  RECT client{};
  GetClientRect(window, &client);
  HDC dc = GetDC(window);
  const RECT box = pane.critical ? critical_layout(dc, fonts_, pane.text, client).button
                                 : ticker_layout(dc, fonts_, pane.text, client).button;
  ReleaseDC(window, dc);
  MoveWindow(button, box.left, box.top, box.right - box.left, box.bottom - box.top, TRUE);
}

LRESULT CALLBACK AlertScreens::pane_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  AlertScreens* screens = owner_of<AlertScreens>(window, message, lparam);
  if (screens != nullptr) {
    auto known = screens->panes_.find(window);
    if (known != screens->panes_.end()) return screens->on_pane(window, *known->second, message, wparam, lparam);
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

LRESULT AlertScreens::on_pane(HWND window, Pane& pane, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_PAINT:
      paint_buffered(window, [&](HDC dc, const RECT& client) {
        if (pane.critical)
          paint_critical(dc, fonts_, pane.text, critical_layout(dc, fonts_, pane.text, client));
        else
          paint_ticker(dc, fonts_, pane.text, ticker_layout(dc, fonts_, pane.text, client), pane.scroll);
      });
      return 0;
    case WM_ERASEBKGND:
      return 1;
    case WM_SIZE:
      place_button(window, pane);
      return 0;
    case WM_COMMAND:
      if (LOWORD(wparam) == kAcknowledgeId && HIWORD(wparam) == BN_CLICKED) acknowledge(window);
      return 0;  // `pane` may be gone now
    case WM_CLOSE:
      return 0;  // only Acknowledge takes an alert down
    case WM_ACTIVATE:
      if (LOWORD(wparam) == WA_INACTIVE) return DefWindowProcW(window, message, wparam, lparam);
      [[fallthrough]];
    case WM_SETFOCUS:
      // The keyboard belongs on Acknowledge, the window's only control.
      if (HWND button = GetDlgItem(window, kAcknowledgeId); button != nullptr) SetFocus(button);
      return 0;
    case WM_MOUSEACTIVATE:
      return pane.critical ? MA_ACTIVATE : MA_NOACTIVATE;
    case WM_TIMER:
      if (wparam == kRetractTimer) {
        destroy_pane(window);
        restack();
        return 0;
      }
      if (wparam == kScrollTimer) {
        RECT client{};
        GetClientRect(window, &client);
        HDC dc = GetDC(window);
        const TickerLayout layout = ticker_layout(dc, fonts_, pane.text, client);
        const int line = ticker_line_width(dc, fonts_, pane.text.body);
        ReleaseDC(window, dc);
        const int room = layout.text.right - layout.text.left;
        if (line > room - 24) {
          pane.scroll = (pane.scroll + kScrollStep) % (line + room / 3);
          InvalidateRect(window, &layout.text, FALSE);
        } else if (pane.scroll != 0) {
          pane.scroll = 0;
          InvalidateRect(window, &layout.text, FALSE);
        }
      }
      return 0;
    default:
      return DefWindowProcW(window, message, wparam, lparam);
  }
}

void AlertScreens::acknowledge(HWND pane_window) {
  auto known = panes_.find(pane_window);
  if (known == panes_.end() || known->second->retracted) return;
  const std::string id = known->second->id;
  if (acknowledged_) acknowledged_(id);
  take_down(id);
}

void AlertScreens::take_down(const std::string& id) {
  auto known = shown_.find(id);
  if (known == shown_.end()) return;
  const std::vector<HWND> windows = known->second.windows;
  shown_.erase(known);
  for (HWND window : windows) destroy_pane(window);
  restack();
  settle_alarm();
}

void AlertScreens::destroy_pane(HWND window) {
  std::erase(tickers_, window);
  // Out of the table first: messages sent while it is destroyed go to
  // DefWindowProc instead of a pane being torn down.
  panes_.erase(window);
  DestroyWindow(window);
}

void AlertScreens::settle_alarm() {
  if (any_critical()) return;
  KillTimer(controller_, kAlarmTimer);
  alarm_.silence();
}

void AlertScreens::retract_now(const std::string& id, const std::string& note) {
  auto known = shown_.find(id);
  if (known == shown_.end()) return;
  const std::vector<HWND> windows = known->second.windows;
  // Like a withdrawal for the poll loop at once: the same id shown again
  // gets windows of its own while the note is still up.
  shown_.erase(known);
  for (HWND window : windows) {
    auto pane = panes_.find(window);
    if (pane == panes_.end()) continue;
    Pane& retracted = *pane->second;
    retracted.retracted = true;
    if (HWND button = GetDlgItem(window, kAcknowledgeId); button != nullptr) DestroyWindow(button);
    if (retracted.critical) {
      retracted.text.title = wide(note);
      retracted.text.body = kWithdrawnBody;
    } else {
      KillTimer(window, kScrollTimer);
      retracted.scroll = 0;
      retracted.text.body = withdrawn_ticker_text(note);
    }
    SetWindowTextW(window, retracted.critical ? retracted.text.title.c_str() : retracted.text.body.c_str());
    InvalidateRect(window, nullptr, FALSE);
    SetTimer(window, kRetractTimer, kRetractMs, nullptr);
  }
  settle_alarm();
}

bool AlertScreens::any_critical() const {
  for (const auto& [window, pane] : panes_)
    if (pane->critical && !pane->retracted) return true;
  return false;
}

RECT AlertScreens::ticker_area(std::size_t row) const {
  const RECT primary = primary_monitor_area();
  const LONG top = primary.top + static_cast<LONG>(row) * kTickerPitch;
  return RECT{primary.left, top, primary.right, top + kTickerHeight};
}

void AlertScreens::restack() {
  // A critical window, even one only saying it was withdrawn, keeps the
  // tickers beneath it.
  bool covered = false;
  for (const auto& [window, pane] : panes_) covered = covered || pane->critical;
  // Critical windows are raised before the tickers go down: Wine passes a
  // raise on to X11 but never a lowering, so a ticker shown later would
  // otherwise stay above the band on its screen. On Windows the order
  // makes no difference.
  if (covered)
    for (const auto& [window, pane] : panes_)
      if (pane->critical) SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  std::size_t row = 0;
  for (HWND ticker : tickers_) {
    // To the bottom while covered, as on Linux.
    const RECT area = ticker_area(row++);
    SetWindowPos(ticker, covered ? HWND_BOTTOM : HWND_TOPMOST, area.left, area.top, area.right - area.left,
                 area.bottom - area.top, SWP_NOACTIVATE);
  }
}

void AlertScreens::ring() {
  if (!any_critical()) {
    settle_alarm();
    return;
  }
  alarm_.ring();
  // Another program's top-most window may have come up meanwhile.
  restack();
}

LRESULT CALLBACK AlertScreens::strip_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  AlertScreens* screens = owner_of<AlertScreens>(window, message, lparam);
  if (screens != nullptr && screens->strip_ == window) {
    if (message == WM_PAINT) {
      paint_buffered(window, [&](HDC dc, const RECT& client) {
        paint_strip(dc, screens->fonts_, screens->strip_text_, client);
      });
      return 0;
    }
    if (message == WM_ERASEBKGND) return 1;
    if (message == WM_MOUSEACTIVATE) return MA_NOACTIVATE;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

void AlertScreens::show_unreachable(bool reachable, const std::string& last_answer) {
  tray_->reachability(reachable, tray_tip(reachable, last_answer));
  if (reachable) {
    if (strip_ != nullptr) DestroyWindow(strip_);
    strip_ = nullptr;
    return;
  }
  strip_text_ = unreachable_text(last_answer);
  if (strip_ == nullptr) {
    strip_ = CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, kUnreachableClass,
                             strip_text_.c_str(), WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, instance_, this);
    if (strip_ == nullptr) return;
  }
  SetWindowTextW(strip_, strip_text_.c_str());
  HDC dc = GetDC(strip_);
  const SIZE size = strip_size(dc, fonts_, strip_text_);
  ReleaseDC(strip_, dc);
  const RECT work = primary_work_area();
  SetWindowPos(strip_, HWND_TOPMOST, work.right - size.cx - 8, work.bottom - size.cy - 8, size.cx, size.cy,
               SWP_NOACTIVATE | SWP_SHOWWINDOW);
  InvalidateRect(strip_, nullptr, FALSE);
  restack();
}

}  // namespace halvenor::agent::win32
