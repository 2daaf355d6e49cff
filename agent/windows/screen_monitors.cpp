#include "agent/windows/screen_monitors.h"

namespace halvenor::agent::win32 {
namespace {

struct Found {
  std::vector<RECT> areas;
};

BOOL CALLBACK collect(HMONITOR monitor, HDC, LPRECT, LPARAM data) {
  auto* found = reinterpret_cast<Found*>(data);
  MONITORINFO info{};
  info.cbSize = sizeof(info);
  if (!GetMonitorInfoW(monitor, &info)) return TRUE;
  if (info.dwFlags & MONITORINFOF_PRIMARY)
    found->areas.insert(found->areas.begin(), info.rcMonitor);
  else
    found->areas.push_back(info.rcMonitor);
  return TRUE;
}

MONITORINFO primary_info() {
  MONITORINFO info{};
  info.cbSize = sizeof(info);
  const POINT origin{0, 0};  // the primary monitor's top-left corner, by definition
  if (!GetMonitorInfoW(MonitorFromPoint(origin, MONITOR_DEFAULTTOPRIMARY), &info)) {
    info.rcMonitor = RECT{0, 0, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN)};
    info.rcWork = info.rcMonitor;
  }
  return info;
}

}  // namespace

std::vector<RECT> monitor_areas() {
  Found found;
  EnumDisplayMonitors(nullptr, nullptr, collect, reinterpret_cast<LPARAM>(&found));
  if (found.areas.empty()) found.areas.push_back(primary_monitor_area());
  return found.areas;
}

RECT primary_monitor_area() { return primary_info().rcMonitor; }

RECT primary_work_area() { return primary_info().rcWork; }

}  // namespace halvenor::agent::win32
