// The agent's notification-area icon: a quiet sign that it runs and whether
// alerts can reach this computer (the stock information icon when the alert
// service answers, the warning icon when it does not, with a tooltip saying
// so). It has no menu: quitting the agent is not something a person at a
// receiving computer should find by accident.
//
// Main thread only. Explorer forgets every icon when it restarts and then
// broadcasts "TaskbarCreated"; the owner window passes that message to
// restore().
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <string>

namespace halvenor::agent::win32 {

class TrayIcon {
 public:
  // `owner`: the window that receives the icon's notifications as `message`.
  TrayIcon(HWND owner, UINT message);
  ~TrayIcon();
  TrayIcon(const TrayIcon&) = delete;
  TrayIcon& operator=(const TrayIcon&) = delete;

  void reachability(bool reachable, const std::wstring& tip);
  // After Explorer restarted: adds the icon again as it last was.
  void restore();
  // The message id Explorer broadcasts when the taskbar is (re)created.
  UINT taskbar_created() const { return taskbar_created_; }
  // Whether the notification area took the icon (it may not exist at all,
  // e.g. on a server core or under some Wine desktops).
  bool added() const { return added_; }

 private:
  void fill(NOTIFYICONDATAW& data) const;

  HWND owner_;
  UINT message_;
  UINT taskbar_created_;
  bool reachable_ = true;
  std::wstring tip_;
  bool added_ = false;
};

}  // namespace halvenor::agent::win32
