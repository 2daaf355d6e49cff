// SHA-256 of a byte string: OpenSSL on Linux (base/sha256.cpp), CNG on
// Windows (base/windows/sha256.cpp), so that base/ builds where OpenSSL is
// not at hand. Thread-safe; throws std::runtime_error when the library fails.
#pragma once

#include <array>
#include <string_view>

namespace halvenor {

inline constexpr std::size_t kSha256Bytes = 32;

std::array<unsigned char, kSha256Bytes> sha256(std::string_view bytes);

}  // namespace halvenor
