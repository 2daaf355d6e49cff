// Sessions of people who signed in through their organisation's identity
// provider. The organisation sign-in feature implements it; the Core asks it
// first when it authenticates a bearer credential (Core::connect_sign_in).
#pragma once

#include <optional>
#include <string>

namespace halvenor {

struct Caller;

class SignInSessions {
 public:
  virtual ~SignInSessions() = default;
  // The caller whose session `token` is, or nullopt when it is none.
  virtual std::optional<Caller> authenticate(const std::string& token) = 0;
};

}  // namespace halvenor
