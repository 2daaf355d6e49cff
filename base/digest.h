// Hashing, identifiers and credential comparison shared by the core and the
// companions. All functions are thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "base/clock.h"

namespace halvenor {

// Lower-case hexadecimal SHA-256 of the bytes.
std::string sha256_hex(std::string_view bytes);

std::string hex_lower(std::string_view bytes);

// A random version-4 UUID in lower-case canonical 36-character form.
std::string uuid4(RandomSource& random);

// URL-safe base64 without padding.
std::string base64url(std::string_view bytes);

// A random credential: `bytes` random bytes as URL-safe base64 without padding.
std::string random_token(RandomSource& random, std::size_t bytes = 32);

// Compares two credentials in time that depends only on the length of the
// presented text, never on where or whether the two differ (lengths included).
bool constant_time_equal(std::string_view presented, std::string_view expected);

}  // namespace halvenor
