// Sign-in through the organisation's identity provider: the OpenID Connect
// authorisation-code flow with PKCE, ending in a session credential for the
// dashboard.
//
// Configuration ("organisation_identity" object of the configuration
// document, read afresh on every call):
//   "enabled"                 exactly true turns organisation sign-in on
//   "issuer"                  must equal the identity token's "iss"
//   "authorization_endpoint", "token_endpoint", "jwks_uri"   https addresses
//   "client_id"               this server's registration at the provider
//   "client_secret_file"      optional: path of an owner-only file holding the secret
//   "redirect_uri"            optional: where the provider sends the browser
//                             back (default: the dashboard, base URL + "/")
//   "user_claim"              optional: the claim naming the person
//                             (default "preferred_username")
//   "scope"                   optional (default "openid profile email")
// A signed-in person is the configured user that is enabled, not removed,
// has "identity_provider" "entra", and whose "organisation_subject" (when
// set) or else "id" equals the claim's value, compared without regard to
// ASCII letter case (providers treat account names that way). No match, or
// more than one, refuses the sign-in.
//
// Storage (tables created by create_schema): each started sign-in keeps the
// SHA-256 of its state and nonce and its PKCE verifier for kSignInSeconds and
// is consumed by the first completion that names it, so a replayed state is
// refused. Sessions keep only the SHA-256 of their credential, with the user
// and an expiry of kSessionSeconds.
//
// Cost on the request path: authenticate runs for every request, agents'
// polls included. Session credentials begin with kSessionPrefix, and any
// other text is answered without touching the configuration or the database.
//
// Thread-safety: all operations may be called concurrently from request
// threads. Refusals: IdentityError with a message for the user.
#pragma once

#include <mutex>
#include <optional>
#include <string>

#include "base/json_text.h"
#include "server/core/sign_in_sessions.h"

namespace halvenor {

class Core;
class Connection;
struct Caller;

inline constexpr char kSessionPrefix[] = "hvs_";
inline constexpr double kSignInSeconds = 600.0;
inline constexpr double kSessionSeconds = 12 * 3600.0;
// Sign-ins started but not completed; a bound, since anyone may start one.
inline constexpr long long kMaxPendingSignIns = 1000;
// The provider's key set is fetched again after this long, or at once when a
// token names a key the cached set lacks.
inline constexpr double kKeySetCacheSeconds = 3600.0;
inline constexpr std::size_t kMaxAuthorizationCodeBytes = 4096;
inline constexpr std::size_t kMaxStateBytes = 128;

class OrganisationIdentity : public SignInSessions {
 public:
  // Creates the sign-in and session tables.
  explicit OrganisationIdentity(Core& core);

  // Sign-in and session tables.
  static void create_schema(Connection& conn);

  // The signed-in organisation user a session credential belongs to, or
  // nullopt so that the configured credentials are tried next. Never throws
  // for an unknown credential.
  std::optional<Caller> authenticate(const std::string& token) override;
  // {"authorization_url", "state", "expires"}: the browser goes to the URL.
  Json start(const std::string& base_url);
  // {"code", "state"} from the provider's redirect → {"token", "expires",
  // "user": {"id", "display_name", "role"}}.
  Json complete(const Json& request);
  // Ends the session the credential belongs to, if any.
  void logout(const std::string& token);

 private:
  struct Settings {
    std::string issuer, authorization_endpoint, token_endpoint, jwks_uri, client_id, client_secret,
        redirect_uri, user_claim, scope;
  };
  Settings settings() const;
  Json key_set(const std::string& uri, bool refresh);

  Core& core_;
  std::mutex key_set_mutex_;
  std::string key_set_uri_;
  Json key_set_;
  double key_set_fetched_ = 0;
};

}  // namespace halvenor
