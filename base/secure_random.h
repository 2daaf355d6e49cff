// The operating system's cryptographically secure random bytes: OpenSSL's
// generator on Linux (base/secure_random.cpp), CNG's on Windows
// (base/windows/secure_random.cpp). Thread-safe; throws std::runtime_error
// when the source fails.
#pragma once

#include <cstddef>

namespace halvenor {

void fill_secure_random(unsigned char* out, std::size_t size);

}  // namespace halvenor
