#include "server/core/config_snapshot.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

#include "base/errors.h"
#include "server/core/directory_views.h"

namespace halvenor {
namespace {

std::string raw_sha256(const std::string& text) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  EVP_Digest(text.data(), text.size(), digest, nullptr, EVP_sha256(), nullptr);
  return std::string(reinterpret_cast<const char*>(digest), sizeof digest);
}


}  // namespace

bool truthy(const Json& v) {
  switch (v.type()) {
    case Json::value_t::null: return false;
    case Json::value_t::boolean: return v.get<bool>();
    case Json::value_t::number_integer: return v.get<std::int64_t>() != 0;
    case Json::value_t::number_unsigned: return v.get<std::uint64_t>() != 0;
    case Json::value_t::number_float: return v.get<double>() != 0.0;
    case Json::value_t::string: return !v.get_ref<const std::string&>().empty();
    case Json::value_t::array:
    case Json::value_t::object: return !v.empty();
    default: return true;
  }
}

bool exactly_true(const Json& v) { return v.is_boolean() && v.get<bool>(); }

const Json& member_or(const Json& object, const char* key, const Json& fallback) {
  if (!object.is_object()) return fallback;
  auto it = object.find(key);
  return it == object.end() ? fallback : *it;
}

const Json& required(const Json& object, const char* key) {
  if (!object.is_object()) throw MissingKey(key);
  auto it = object.find(key);
  if (it == object.end()) throw MissingKey(key);
  return *it;
}

ConfigSnapshot::ConfigSnapshot(Json document) : doc_(std::move(document)) {
  if (!doc_.is_object()) return;
  if (auto users = doc_.find("users"); users != doc_.end() && users->is_array()) {
    has_users_ = true;
    for (std::size_t i = 0; i < users->size(); ++i) {
      const Json& u = (*users)[i];
      if (!u.is_object()) {
        if (!user_without_token_) user_without_token_ = i;
        continue;
      }
      const UserView user(u);
      if (user.signs_in_through_organisation() || !user.active()) continue;
      const Json& token = member_or(u, "token", kNull);
      if (!token.is_string()) {
        if (!user_without_token_) user_without_token_ = i;
        continue;
      }
      credentials_[raw_sha256(token.get<std::string>())].push_back({true, i});
    }
  }
  if (auto devices = doc_.find("devices"); devices != doc_.end() && devices->is_array()) {
    has_devices_ = true;
    for (std::size_t i = 0; i < devices->size(); ++i) {
      const Json& d = (*devices)[i];
      if (!d.is_object()) continue;
      const ComputerView computer(d);
      if (computer.id().is_string() && computer.allows_live_desktop())
        live_devices_.insert(computer.id().get<std::string>());
      if (!computer.active()) continue;
      const Json& token = member_or(d, "token", kNull);
      if (!token.is_string()) continue;  // a device without a credential cannot sign in
      credentials_[raw_sha256(token.get<std::string>())].push_back({false, i});
    }
  }
}

const std::vector<ConfigSnapshot::Credential>* ConfigSnapshot::credentials_hashing_to(
    const std::string& digest) const {
  auto it = credentials_.find(digest);
  return it == credentials_.end() ? nullptr : &it->second;
}

}  // namespace halvenor
