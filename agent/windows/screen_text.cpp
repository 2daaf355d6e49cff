#include "agent/windows/screen_text.h"

#include <windows.h>

#include <climits>
#include <cmath>
#include <cstdio>

namespace halvenor::agent::win32 {

std::wstring wide(std::string_view text) {
  if (text.empty() || text.size() > static_cast<std::size_t>(INT_MAX)) return std::wstring();
  const int bytes = static_cast<int>(text.size());
  // Without MB_ERR_INVALID_CHARS, invalid bytes become U+FFFD.
  const int units = MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, nullptr, 0);
  if (units <= 0) return std::wstring();
  std::wstring out(static_cast<std::size_t>(units), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), bytes, out.data(), units);
  // A NUL inside an alert would end the text early in every Win32 call.
  for (wchar_t& unit : out)
    if (unit == L'\0') unit = L' ';
  return out;
}

std::wstring alert_mark(const AlertView& alert) {
  if (alert.exercise) return L"EXERCISE";
  if (alert.stand_down) return L"INCIDENT CONCLUDED";
  return L"LIVE ALERT";
}

std::wstring band_text(const AlertView& alert) {
  const std::wstring mark = alert_mark(alert);
  return mark + L"  -  " + mark + L"  -  " + mark;
}

bool shows_concluded_line(const AlertView& alert) { return alert.stand_down && alert.exercise; }

std::wstring ticker_text(const AlertView& alert) { return wide(alert.title) + L"  -  " + wide(alert.body); }

std::wstring withdrawn_ticker_text(std::string_view note) {
  return wide(note) + L"  -  the alert service has withdrawn this alert.";
}

std::wstring unreachable_text(std::string_view last_answer) {
  std::wstring text = L"Alerts cannot reach this computer: the alert service is not answering";
  if (!last_answer.empty()) text += L" (last answer " + wide(last_answer) + L")";
  return text + L".";
}

std::wstring tray_tip(bool reachable, std::string_view last_answer) {
  if (reachable) return L"Halvenor: alerts can reach this computer";
  std::wstring tip = L"Halvenor: alerts cannot reach this computer";
  if (!last_answer.empty()) tip += L" (last answer " + wide(last_answer) + L")";
  return tip;
}

std::string last_answer_time(double since) {
  if (!(since > 0) || since > 32503680000.0) return std::string();  // none, or past the year 3000
  // Unix seconds to a FILETIME: 100 ns ticks since 1601.
  const auto ticks = static_cast<unsigned long long>(std::floor(since)) * 10000000ULL + 116444736000000000ULL;
  FILETIME utc{static_cast<DWORD>(ticks & 0xffffffffULL), static_cast<DWORD>(ticks >> 32)};
  SYSTEMTIME universal{}, local{};
  if (!FileTimeToSystemTime(&utc, &universal) || !SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local))
    return std::string();
  char text[8];
  std::snprintf(text, sizeof text, "%02u:%02u", static_cast<unsigned>(local.wHour) % 100u,
                static_cast<unsigned>(local.wMinute) % 100u);
  return text;
}

}  // namespace halvenor::agent::win32
