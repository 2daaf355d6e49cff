#include "base/digest.h"

#include <array>

#include "base/sha256.h"

namespace halvenor {

std::string hex_lower(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 0xF]);
  }
  return out;
}

std::string sha256_hex(std::string_view bytes) {
  const auto digest = sha256(bytes);
  return hex_lower(std::string_view(reinterpret_cast<const char*>(digest.data()), digest.size()));
}

std::string uuid4(RandomSource& random) {
  std::array<unsigned char, 16> b{};
  random.fill(b.data(), b.size());
  b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x40);
  b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
  std::string h = hex_lower(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
  return h.substr(0, 8) + "-" + h.substr(8, 4) + "-" + h.substr(12, 4) + "-" + h.substr(16, 4) +
         "-" + h.substr(20, 12);
}

std::string base64url(std::string_view bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  std::string out;
  unsigned int buffer = 0;
  int bits = 0;
  for (unsigned char c : bytes) {
    buffer = (buffer << 8) | c;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out.push_back(kAlphabet[(buffer >> bits) & 0x3F]);
    }
  }
  if (bits > 0) out.push_back(kAlphabet[(buffer << (6 - bits)) & 0x3F]);
  return out;
}

std::string random_token(RandomSource& random, std::size_t bytes) {
  std::string raw(bytes, '\0');
  random.fill(reinterpret_cast<unsigned char*>(raw.data()), raw.size());
  return base64url(raw);
}

bool constant_time_equal(std::string_view presented, std::string_view expected) {
  // Hash both sides first: the comparison then always covers 32 bytes, so
  // neither a length difference nor the position of the first difference
  // shows in the timing.
  const auto a = sha256(presented);
  const auto b = sha256(expected);
  // Every byte is compared, whatever the first difference; volatile keeps
  // the compiler from stopping early.
  volatile unsigned char difference = 0;
  for (std::size_t i = 0; i < a.size(); ++i) difference = static_cast<unsigned char>(difference | (a[i] ^ b[i]));
  return difference == 0;
}

}  // namespace halvenor
