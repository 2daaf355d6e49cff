// How the Windows screens look: the Linux desktop's colours, type sizes and
// arrangement drawn with GDI. A critical alert is its band, an optional
// "INCIDENT CONCLUDED" line, the title, the body and the Acknowledge button,
// top to bottom; the button always stays on screen, so a long body is cut
// above it rather than pushing it off. Main thread only.
#pragma once

#include <windows.h>

#include <string>

namespace halvenor::agent::win32 {

inline constexpr COLORREF kCriticalColour = RGB(0xb0, 0x00, 0x20);
inline constexpr COLORREF kTickerColour = RGB(0xe6, 0x51, 0x00);
inline constexpr COLORREF kStandDownColour = RGB(0x1b, 0x5e, 0x20);
inline constexpr COLORREF kExerciseBandColour = RGB(0xff, 0xeb, 0x3b);
inline constexpr COLORREF kLiveBandColour = RGB(0xff, 0xff, 0xff);
inline constexpr COLORREF kStripColour = RGB(0x37, 0x47, 0x4f);

inline constexpr int kTickerHeight = 56;
inline constexpr int kTickerPitch = 60;  // one ticker below the other

class ScreenFonts {
 public:
  ScreenFonts();
  ~ScreenFonts();
  ScreenFonts(const ScreenFonts&) = delete;
  ScreenFonts& operator=(const ScreenFonts&) = delete;

  HFONT band, concluded, title, body, button;                     // critical alert
  HFONT ticker_mark, ticker_text, ticker_button;                  // ticker
  HFONT strip;                                                    // "cannot reach" strip
};

// What one window shows, in UTF-16.
struct PaneText {
  std::wstring mark;  // band text of a critical alert, mark of a ticker
  std::wstring title;
  std::wstring body;  // a ticker's whole line
  bool concluded_line = false;
  bool exercise = true;
  COLORREF background = kCriticalColour;
};

struct CriticalLayout {
  RECT band{}, concluded{}, title{}, body{}, button{};
};
CriticalLayout critical_layout(HDC dc, const ScreenFonts& fonts, const PaneText& text, const RECT& client);
void paint_critical(HDC dc, const ScreenFonts& fonts, const PaneText& text, const CriticalLayout& layout);

struct TickerLayout {
  RECT mark{}, text{}, button{};
};
TickerLayout ticker_layout(HDC dc, const ScreenFonts& fonts, const PaneText& text, const RECT& client);
// Width of the ticker's line; wider than layout.text means it scrolls.
int ticker_line_width(HDC dc, const ScreenFonts& fonts, const std::wstring& line);
// `scroll`: pixels the line has moved left (0 when it fits).
void paint_ticker(HDC dc, const ScreenFonts& fonts, const PaneText& text, const TickerLayout& layout, int scroll);

SIZE strip_size(HDC dc, const ScreenFonts& fonts, const std::wstring& line);
void paint_strip(HDC dc, const ScreenFonts& fonts, const std::wstring& line, const RECT& client);

}  // namespace halvenor::agent::win32
