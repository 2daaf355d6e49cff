#include "agent/windows/tray_icon.h"

#include <cwchar>

#include "agent/windows/screen_text.h"

namespace halvenor::agent::win32 {
namespace {

constexpr UINT kIconId = 1;

}  // namespace

TrayIcon::TrayIcon(HWND owner, UINT message)
    : owner_(owner),
      message_(message),
      taskbar_created_(RegisterWindowMessageW(L"TaskbarCreated")),
      tip_(tray_tip(true, {})) {
  restore();
}

TrayIcon::~TrayIcon() {
  if (!added_) return;
  NOTIFYICONDATAW data{};
  data.cbSize = sizeof(data);
  data.hWnd = owner_;
  data.uID = kIconId;
  Shell_NotifyIconW(NIM_DELETE, &data);
}

void TrayIcon::fill(NOTIFYICONDATAW& data) const {
  data.cbSize = sizeof(data);
  data.hWnd = owner_;
  data.uID = kIconId;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = message_;
  // IDI_INFORMATION and IDI_WARNING, spelt so that they stay wide whether
  // or not the build defines UNICODE.
  data.hIcon = LoadIconW(nullptr, reachable_ ? MAKEINTRESOURCEW(32516) : MAKEINTRESOURCEW(32515));
  // The tooltip holds at most 127 characters; ours are shorter, but a cut
  // tip is better than none.
  wcsncpy(data.szTip, tip_.c_str(), (sizeof(data.szTip) / sizeof(data.szTip[0])) - 1);
}

void TrayIcon::reachability(bool reachable, const std::wstring& tip) {
  reachable_ = reachable;
  tip_ = tip;
  if (!added_) {
    restore();
    return;
  }
  NOTIFYICONDATAW data{};
  fill(data);
  if (!Shell_NotifyIconW(NIM_MODIFY, &data)) restore();
}

void TrayIcon::restore() {
  NOTIFYICONDATAW data{};
  fill(data);
  added_ = Shell_NotifyIconW(NIM_ADD, &data) != FALSE;
}

}  // namespace halvenor::agent::win32
