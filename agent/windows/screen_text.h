// What the Windows screens say, word for word as on the Linux desktop, and
// the one way alert text reaches Win32: UTF-8 from the server becomes UTF-16
// here. Windows only ever draw these strings with DT_NOPREFIX and never use
// them as a format, so an alert cannot smuggle an accelerator or a
// conversion into what is drawn.
#pragma once

#include <string>
#include <string_view>

#include "agent/alert_tracker.h"

namespace halvenor::agent::win32 {

// UTF-16 of UTF-8 `text`; malformed sequences become U+FFFD rather than
// dropping the whole text, so a damaged alert still shows what it can.
std::wstring wide(std::string_view text);

// The mark of an alert: "EXERCISE", "INCIDENT CONCLUDED" or "LIVE ALERT".
std::wstring alert_mark(const AlertView& alert);
// A critical alert's band: the mark three times, so it reads from anywhere.
std::wstring band_text(const AlertView& alert);
// An exercise stand-down names the concluded incident under its band.
bool shows_concluded_line(const AlertView& alert);
inline constexpr wchar_t kConcludedLine[] = L"INCIDENT CONCLUDED";
// A ticker's line of text.
std::wstring ticker_text(const AlertView& alert);

inline constexpr wchar_t kAcknowledge[] = L"Acknowledge";
inline constexpr wchar_t kWithdrawnBody[] = L"The alert service has withdrawn this alert.";
// A retracted ticker's text: "Cancelled  -  the alert service has withdrawn this alert."
std::wstring withdrawn_ticker_text(std::string_view note);

// The strip shown after failed polls; `last_answer` is "HH:MM" or empty.
std::wstring unreachable_text(std::string_view last_answer);
// The notification-area tooltip for either state.
std::wstring tray_tip(bool reachable, std::string_view last_answer);
// "HH:MM" of the local time at Unix time `since`, or empty when 0.
std::string last_answer_time(double since);

}  // namespace halvenor::agent::win32
