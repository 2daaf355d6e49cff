// One immutable version of the configuration document, with the look-up
// tables derived from it.
//
// Request threads read the configuration concurrently while administration
// may replace it. Each operation takes the current snapshot once and works on
// it to the end, so it never sees half of a change; a replacement is seen by
// the next operation.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "base/json_text.h"

namespace halvenor {

// Python-like truth of a JSON value: null, false, 0, "", [] and {} are false.
bool truthy(const Json& value);
// Permission and readiness flags grant only when exactly JSON true.
bool exactly_true(const Json& value);
// Shared fallback values for member_or, which must outlive the reference it returns.
inline const Json kNull = nullptr;
inline const Json kTrue = true;
inline const Json kFalse = false;
inline const Json kEmptyArray = Json::array();
inline const Json kEmptyObject = Json::object();

// The member of an object, or the fallback when absent (or when `object` is
// not an object). The fallback must be an lvalue: a temporary would be gone
// before the returned reference is used.
const Json& member_or(const Json& object, const char* key, const Json& fallback);
const Json& member_or(const Json& object, const char* key, const Json&& fallback) = delete;
// The member of an object; throws MissingKey when absent.
const Json& required(const Json& object, const char* key);

class ConfigSnapshot {
 public:
  explicit ConfigSnapshot(Json document);

  const Json& doc() const { return doc_; }

  // Credential sign-in candidates whose stored credential hashes like the
  // presented one, users (document order) before devices. The presented
  // credential must still be compared in constant time with each candidate.
  struct Credential {
    bool is_user;
    std::size_t index;  // position in "users" or "devices"
  };
  const std::vector<Credential>* credentials_hashing_to(const std::string& digest) const;

  // Position of the first user entry that is eligible for credential sign-in
  // but has no usable credential; reaching it is a missing-key failure.
  std::optional<std::size_t> first_user_without_credential() const { return user_without_token_; }
  bool has_users() const { return has_users_; }
  bool has_devices() const { return has_devices_; }

  // Devices whose entry allows live desktop (allow_live_desktop, default true, exactly true).
  bool device_allows_live(const std::string& id) const { return live_devices_.count(id) != 0; }

 private:
  Json doc_;
  std::unordered_map<std::string, std::vector<Credential>> credentials_;
  std::optional<std::size_t> user_without_token_;
  bool has_users_ = false;
  bool has_devices_ = false;
  std::unordered_set<std::string> live_devices_;
};

using ConfigPtr = std::shared_ptr<const ConfigSnapshot>;

}  // namespace halvenor
