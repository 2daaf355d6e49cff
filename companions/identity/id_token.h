// Verification of an OpenID Connect identity token (a JSON Web Token in
// compact form) against the provider's published key set.
//
// Accepted: RS256 (RSA of at least kMinRsaKeyBits with SHA-256) and ES256
// (ECDSA P-256 with SHA-256). Every other algorithm, "none" included, is
// refused. The key is chosen by the token's "kid" (or, without one, every key
// of the right type is tried). Checked claims: "iss" equals the issuer
// exactly; "aud" is the client id or a list holding it (and then "azp", when
// present, is the client id); "exp" is after now - skew; "nbf" and "iat",
// when present, are before now + skew; the SHA-256 of
// "nonce" equals the expected one.
//
// Thread-safety: pure functions. Refusals: IdentityError with a message that
// says which check failed and never repeats token content.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/json_text.h"

namespace halvenor::identity {

inline constexpr std::size_t kMaxIdTokenBytes = 16 * 1024;
inline constexpr int kMinRsaKeyBits = 2048;
inline constexpr double kIdTokenClockSkewSeconds = 120.0;

struct IdTokenExpectations {
  std::string issuer;
  std::string client_id;
  std::string nonce_sha256;  // lower-case hex SHA-256 of the nonce sent with the sign-in
  double now = 0;  // unix seconds
};

// Base64 with the URL-safe alphabet and no padding, as tokens use it.
std::string base64url_encode(std::string_view bytes);
// Throws IdentityError on characters outside the alphabet or a bad length.
std::string base64url_decode(std::string_view text);

// The token's decoded header (without checking anything else).
Json id_token_header(std::string_view token);
// True when the key set holds a key the header names (by "kid"), or any
// key when the header names none.
bool key_set_has_key(const Json& key_set, const Json& header);

// The verified claims.
Json verify_id_token(std::string_view token, const Json& key_set, const IdTokenExpectations& expect);

}  // namespace halvenor::identity
