// Sign-in through the organisation's identity provider.
//
// Thread-safety: all operations may be called concurrently from request
// threads. Refusals are IdentityError with a message for the user.
#pragma once

#include <optional>
#include <string>

#include "server/core/json_text.h"

namespace halvenor {

class Core;
struct Caller;

class OrganisationIdentity {
 public:
  explicit OrganisationIdentity(Core& core);

  // The signed-in organisation user a session credential belongs to, or
  // nullopt so that the configured credentials are tried next.
  std::optional<Caller> authenticate(const std::string& token);
  Json start(const std::string& base_url);
  Json complete(const Json& request);
  void logout(const std::string& token);

 private:
  bool enabled() const;
  Core& core_;
};

}  // namespace halvenor
