#include "server/core/text.h"

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

}  // namespace

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

}  // namespace halvenor
