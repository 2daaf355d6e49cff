#include "agent/windows/screen_painting.h"

#include <algorithm>

#include "agent/windows/screen_text.h"

namespace halvenor::agent::win32 {
namespace {

// Alert text is drawn, never interpreted: no '&' accelerators, no tabs.
constexpr UINT kPlain = DT_NOPREFIX | DT_NOCLIP;

HFONT make_font(int points, bool bold) {
  HDC screen = GetDC(nullptr);
  const int height = -MulDiv(points, GetDeviceCaps(screen, LOGPIXELSY), 72);
  ReleaseDC(nullptr, screen);
  return CreateFontW(height, 0, 0, 0, bold ? FW_BOLD : FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY, VARIABLE_PITCH | FF_SWISS,
                     L"Segoe UI");
}

int line_height(HDC dc, HFONT font) {
  HGDIOBJ old = SelectObject(dc, font);
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  SelectObject(dc, old);
  return metrics.tmHeight;
}

SIZE text_size(HDC dc, HFONT font, const std::wstring& text) {
  HGDIOBJ old = SelectObject(dc, font);
  SIZE size{};
  GetTextExtentPoint32W(dc, text.c_str(), static_cast<int>(text.size()), &size);
  SelectObject(dc, old);
  return size;
}

// Height of `text` wrapped to `width`.
int wrapped_height(HDC dc, HFONT font, const std::wstring& text, int width) {
  if (text.empty()) return 0;
  HGDIOBJ old = SelectObject(dc, font);
  RECT box{0, 0, width, 0};
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box, DT_CALCRECT | DT_WORDBREAK | DT_CENTER | kPlain);
  SelectObject(dc, old);
  return box.bottom - box.top;
}

RECT centred(const RECT& client, int top, int width, int height) {
  const int left = client.left + ((client.right - client.left) - width) / 2;
  return RECT{left, top, left + width, top + height};
}

void fill(HDC dc, const RECT& box, COLORREF colour) {
  HBRUSH brush = CreateSolidBrush(colour);
  FillRect(dc, &box, brush);
  DeleteObject(brush);
}

void draw(HDC dc, HFONT font, COLORREF colour, const std::wstring& text, RECT box, UINT format) {
  HGDIOBJ old = SelectObject(dc, font);
  SetTextColor(dc, colour);
  SetBkMode(dc, TRANSPARENT);
  DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &box, format | DT_NOPREFIX);
  SelectObject(dc, old);
}

}  // namespace

ScreenFonts::ScreenFonts()
    : band(make_font(30, true)),
      concluded(make_font(26, true)),
      title(make_font(40, true)),
      body(make_font(24, false)),
      button(make_font(26, true)),
      ticker_mark(make_font(14, true)),
      ticker_text(make_font(14, false)),
      ticker_button(make_font(12, true)),
      strip(make_font(11, false)) {}

ScreenFonts::~ScreenFonts() {
  for (HFONT font : {band, concluded, title, body, button, ticker_mark, ticker_text, ticker_button, strip})
    if (font != nullptr) DeleteObject(font);
}

CriticalLayout critical_layout(HDC dc, const ScreenFonts& fonts, const PaneText& text, const RECT& client) {
  CriticalLayout layout;
  const int width = client.right - client.left;
  layout.band = RECT{client.left, client.top, client.right, client.top + line_height(dc, fonts.band) + 16};
  int next = static_cast<int>(layout.band.bottom);
  if (text.concluded_line) {
    layout.concluded = RECT{client.left, next + 10, client.right, next + 10 + line_height(dc, fonts.concluded)};
    next = layout.concluded.bottom + 10;
  }
  const int title_width = std::max(width - 120, 1);
  const int room = static_cast<int>(client.bottom) - next;
  const int title_height = std::min(wrapped_height(dc, fonts.title, text.title, title_width), room / 3);
  layout.title = centred(client, next + 60, title_width, title_height);
  const int body_width = std::max(width - 160, 1);
  layout.body = centred(client, layout.title.bottom + 20, body_width,
                        wrapped_height(dc, fonts.body, text.body, body_width));
  const SIZE label = text_size(dc, fonts.button, kAcknowledge);
  const int button_width = label.cx + 80 + 8;
  const int button_height = label.cy + 32 + 8;
  const int lowest = static_cast<int>(client.bottom) - 40 - button_height;
  layout.button = centred(client, std::min(static_cast<int>(layout.body.bottom) + 40, lowest), button_width,
                          button_height);
  layout.body.bottom = std::min(layout.body.bottom, layout.button.top - 40L);
  return layout;
}

void paint_critical(HDC dc, const ScreenFonts& fonts, const PaneText& text, const CriticalLayout& layout) {
  RECT client{};
  GetClipBox(dc, &client);
  fill(dc, client, text.background);
  fill(dc, layout.band, text.exercise ? kExerciseBandColour : kLiveBandColour);
  // "INCIDENT CONCLUDED" three times is wider than a small screen at the
  // band's size: a smaller type keeps the whole band readable.
  HFONT band = fonts.band;
  for (HFONT smaller : {fonts.concluded, fonts.body})
    if (text_size(dc, band, text.mark).cx > layout.band.right - layout.band.left - 20) band = smaller;
  draw(dc, band, RGB(0, 0, 0), text.mark, layout.band, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  const COLORREF white = RGB(0xff, 0xff, 0xff);
  if (text.concluded_line)
    draw(dc, fonts.concluded, white, kConcludedLine, layout.concluded, DT_CENTER | DT_SINGLELINE);
  draw(dc, fonts.title, white, text.title, layout.title, DT_CENTER | DT_WORDBREAK | DT_END_ELLIPSIS);
  draw(dc, fonts.body, white, text.body, layout.body, DT_CENTER | DT_WORDBREAK | DT_END_ELLIPSIS);
}

TickerLayout ticker_layout(HDC dc, const ScreenFonts& fonts, const PaneText& text, const RECT& client) {
  TickerLayout layout;
  const SIZE mark = text_size(dc, fonts.ticker_mark, text.mark);
  layout.mark = RECT{client.left, client.top, client.left + mark.cx + 20, client.bottom};
  const SIZE label = text_size(dc, fonts.ticker_button, kAcknowledge);
  const int button_width = label.cx + 24;
  layout.button = RECT{client.right - 8 - button_width, client.top + 6, client.right - 8, client.bottom - 6};
  layout.text = RECT{layout.mark.right, client.top, layout.button.left - 8, client.bottom};
  return layout;
}

int ticker_line_width(HDC dc, const ScreenFonts& fonts, const std::wstring& line) {
  return text_size(dc, fonts.ticker_text, line).cx;
}

void paint_ticker(HDC dc, const ScreenFonts& fonts, const PaneText& text, const TickerLayout& layout, int scroll) {
  RECT client{};
  GetClipBox(dc, &client);
  fill(dc, client, text.background);
  fill(dc, layout.mark, text.exercise ? kExerciseBandColour : kLiveBandColour);
  draw(dc, fonts.ticker_mark, RGB(0, 0, 0), text.mark, layout.mark, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
  const int saved = SaveDC(dc);
  IntersectClipRect(dc, layout.text.left, layout.text.top, layout.text.right, layout.text.bottom);
  const COLORREF white = RGB(0xff, 0xff, 0xff);
  RECT line = layout.text;
  line.left += 12 - scroll;
  line.right = line.left + ticker_line_width(dc, fonts, text.body) + 1;
  draw(dc, fonts.ticker_text, white, text.body, line, DT_LEFT | DT_VCENTER | DT_SINGLELINE | kPlain);
  if (scroll > 0) {
    // The line comes round again after a gap, as a ticker tape does.
    const int again = line.right - line.left + (layout.text.right - layout.text.left) / 3;
    OffsetRect(&line, again, 0);
    draw(dc, fonts.ticker_text, white, text.body, line, DT_LEFT | DT_VCENTER | DT_SINGLELINE | kPlain);
  }
  RestoreDC(dc, saved);
}

SIZE strip_size(HDC dc, const ScreenFonts& fonts, const std::wstring& line) {
  SIZE size = text_size(dc, fonts.strip, line);
  size.cx += 20;
  size.cy += 8;
  return size;
}

void paint_strip(HDC dc, const ScreenFonts& fonts, const std::wstring& line, const RECT& client) {
  fill(dc, client, kStripColour);
  draw(dc, fonts.strip, RGB(0xff, 0xff, 0xff), line, client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
}

}  // namespace halvenor::agent::win32
