// What every TLS endpoint of the service negotiates. TLS 1.3 suites are all
// forward-secret AEAD already; for TLS 1.2 only ECDHE key exchange with an
// AEAD cipher is offered, so a recorded session cannot be read later with the
// certificate's key, and no CBC suite is left to attack.
#pragma once

namespace halvenor {

inline constexpr char kForwardSecretTls12Ciphers[] = "ECDHE+AESGCM:ECDHE+CHACHA20:!aNULL";

}  // namespace halvenor
