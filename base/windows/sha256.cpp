#include "base/sha256.h"

#include <windows.h>
#include <bcrypt.h>

#include <limits>
#include <stdexcept>

namespace halvenor {
namespace {

// Opened once and kept for the process: CNG algorithm handles may be used
// from any thread.
BCRYPT_ALG_HANDLE sha256_provider() {
  static const BCRYPT_ALG_HANDLE provider = [] {
    BCRYPT_ALG_HANDLE handle = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
      throw std::runtime_error("SHA-256 is not available");
    return handle;
  }();
  return provider;
}

}  // namespace

std::array<unsigned char, kSha256Bytes> sha256(std::string_view bytes) {
  if (bytes.size() > std::numeric_limits<ULONG>::max()) throw std::runtime_error("SHA-256: input too large");
  std::array<unsigned char, kSha256Bytes> digest{};
  const NTSTATUS status =
      BCryptHash(sha256_provider(), nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(bytes.data())),
                 static_cast<ULONG>(bytes.size()), digest.data(), static_cast<ULONG>(digest.size()));
  if (!BCRYPT_SUCCESS(status)) throw std::runtime_error("SHA-256 failed");
  return digest;
}

}  // namespace halvenor
