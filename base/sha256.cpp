#include "base/sha256.h"

#include <openssl/evp.h>

#include <stdexcept>

namespace halvenor {

std::array<unsigned char, kSha256Bytes> sha256(std::string_view bytes) {
  std::array<unsigned char, kSha256Bytes> digest{};
  if (EVP_Digest(bytes.data(), bytes.size(), digest.data(), nullptr, EVP_sha256(), nullptr) != 1)
    throw std::runtime_error("SHA-256 failed");
  return digest;
}

}  // namespace halvenor
