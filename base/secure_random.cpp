#include "base/secure_random.h"

#include <openssl/rand.h>

#include <climits>
#include <stdexcept>

namespace halvenor {

void fill_secure_random(unsigned char* out, std::size_t size) {
  while (size > 0) {
    int chunk = size > INT_MAX ? INT_MAX : static_cast<int>(size);
    if (RAND_bytes(out, chunk) != 1) throw std::runtime_error("secure random source failed");
    out += chunk;
    size -= static_cast<std::size_t>(chunk);
  }
}

}  // namespace halvenor
