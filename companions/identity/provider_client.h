// The few HTTPS requests organisation sign-in makes to the identity
// provider: the authorisation-code exchange (form POST) and the key-set
// download (GET), each answered with a JSON object.
//
// Only https URLs are used, with the system's trusted authorities, TLS 1.2
// at least, no redirects, one deadline and a bounded reply size. Plain http is
// accepted for the literal loopback host 127.0.0.1 alone (a provider on this
// same computer, as in tests), where nothing crosses the network.
//
// Thread-safety: every function may be called from any thread (each request
// has its own connection). Refusals: IdentityError naming what went wrong,
// never echoing secrets.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "base/json_text.h"

namespace halvenor::identity {

inline constexpr std::size_t kMaxProviderReplyBytes = 256 * 1024;
// For the whole request: connecting, TLS, sending and reading the reply.
inline constexpr std::chrono::milliseconds kProviderRequestTimeout{15000};

using FormFields = std::vector<std::pair<std::string, std::string>>;

// Throws IdentityError unless `url` is https (or http to 127.0.0.1).
void check_provider_url(const std::string& url, const std::string& what);

// Percent-encodes everything but the unreserved characters.
std::string url_encode(std::string_view text);

Json provider_get_json(const std::string& url);
Json provider_post_form(const std::string& url, const FormFields& fields);

}  // namespace halvenor::identity
