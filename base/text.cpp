#include "base/text.h"

namespace halvenor {
namespace {

bool is_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || (c >= 0x1C && c <= 0x20) || c == 0x85 || c == 0xA0 ||
         c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

// Decodes the code point starting at `i`, setting `length`; invalid bytes
// decode as themselves so that a malformed sequence is never taken for space.
char32_t decode(std::string_view s, std::size_t i, std::size_t& length) {
  auto b = static_cast<unsigned char>(s[i]);
  std::size_t n = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 1;
  if (i + n > s.size()) n = 1;
  length = n;
  if (n == 1) return b;
  char32_t c = b & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) c = (c << 6) | (static_cast<unsigned char>(s[i + k]) & 0x3F);
  return c;
}

// Length of the well-formed UTF-8 sequence at `i`, or 0 when there is none.
std::size_t valid_sequence(std::string_view s, std::size_t i) {
  auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char b = at(i);
  if (b < 0x80) return 1;
  std::size_t n;
  unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    n = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    n = 3;
    if (b == 0xE0) low = 0xA0;   // no overlong forms
    if (b == 0xED) high = 0x9F;  // no surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    n = 4;
    if (b == 0xF0) low = 0x90;
    if (b == 0xF4) high = 0x8F;  // nothing beyond U+10FFFF
  } else {
    return 0;
  }
  if (i + n > s.size() || at(i + 1) < low || at(i + 1) > high) return 0;
  for (std::size_t k = 2; k < n; ++k)
    if ((at(i + k) & 0xC0) != 0x80) return 0;
  return n;
}

}  // namespace

bool is_utf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = valid_sequence(bytes, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string to_valid_utf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = valid_sequence(bytes, i);
    if (n == 0) {
      out += "\xEF\xBF\xBD";
      ++i;
    } else {
      out.append(bytes.substr(i, n));
      i += n;
    }
  }
  return out;
}

bool has_control_characters(std::string_view text, bool allow_line_feed) {
  for (std::size_t i = 0; i < text.size();) {
    std::size_t n = 0;
    const char32_t c = decode(text, i, n);
    i += n;
    if (c == '\n' && allow_line_feed) continue;
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) return true;
    if ((c >= 0x202A && c <= 0x202E) || (c >= 0x2066 && c <= 0x2069)) return true;
  }
  return false;
}

std::size_t code_points(std::string_view utf8) {
  std::size_t count = 0;
  for (unsigned char c : utf8)
    if ((c & 0xC0) != 0x80) ++count;
  return count;
}

std::string trim(std::string_view s) {
  std::size_t begin = 0;
  while (begin < s.size()) {
    std::size_t n = 0;
    if (!is_space(decode(s, begin, n))) break;
    begin += n;
  }
  std::size_t end = begin;
  for (std::size_t i = begin; i < s.size();) {
    std::size_t n = 0;
    bool space = is_space(decode(s, i, n));
    i += n;
    if (!space) end = i;
  }
  return std::string(s.substr(begin, end - begin));
}

std::string printable_ascii(std::string_view text, std::size_t most) {
  std::string out;
  for (char c : text) {
    if (out.size() >= most) break;
    out += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return out;
}

}  // namespace halvenor
