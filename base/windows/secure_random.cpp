#include "base/secure_random.h"

#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace halvenor {

void fill_secure_random(unsigned char* out, std::size_t size) {
  while (size > 0) {
    const ULONG chunk = static_cast<ULONG>(std::min<std::size_t>(size, std::numeric_limits<ULONG>::max()));
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
      throw std::runtime_error("secure random source failed");
    out += chunk;
    size -= chunk;
  }
}

}  // namespace halvenor
