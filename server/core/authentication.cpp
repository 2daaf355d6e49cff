// Caller authentication: organisation sign-in, then users, then devices.
#include <openssl/evp.h>
#include <openssl/sha.h>

#include "base/digest.h"
#include "base/errors.h"
#include "server/core/core.h"

namespace halvenor {

std::optional<Caller> Core::authenticate(const std::string& token) {
  if (sign_in_)
    if (auto caller = sign_in_->authenticate(token)) return caller;

  ConfigPtr cfg = config();
  const ConfigSnapshot& snapshot = *cfg;
  if (!snapshot.has_users()) throw MissingKey("users");

  // The snapshot indexes credentials by their SHA-256, so one hash of the
  // presented text finds the candidates without scanning thousands of
  // entries; each candidate is then confirmed in constant time.
  unsigned char digest[SHA256_DIGEST_LENGTH];
  EVP_Digest(token.data(), token.size(), digest, nullptr, EVP_sha256(), nullptr);
  const auto* candidates =
      snapshot.credentials_hashing_to(std::string(reinterpret_cast<const char*>(digest), sizeof digest));

  const Json& doc = snapshot.doc();
  auto user_error = snapshot.first_user_without_credential();
  if (candidates) {
    for (const auto& candidate : *candidates) {
      const Json& entry = candidate.is_user ? doc["users"][candidate.index] : doc["devices"][candidate.index];
      if (!constant_time_equal(token, entry["token"].get_ref<const std::string&>())) continue;
      if (candidate.is_user) {
        // A user without a credential earlier in the list is reached first.
        if (user_error && *user_error < candidate.index) throw MissingKey("token");
        return Caller{required(entry, "id").get<std::string>(), required(entry, "role").get<std::string>()};
      }
      if (user_error) throw MissingKey("token");
      return Caller{required(entry, "id").get<std::string>(), "device"};
    }
  }
  if (user_error) throw MissingKey("token");
  if (!snapshot.has_devices()) throw MissingKey("devices");
  return std::nullopt;
}

}  // namespace halvenor
