// The server's address as the agent's settings name it: "https://host[:port]"
// split for connecting. Parsed here rather than by the gateway URL parser so
// that the agent builds without the server's configuration code (the
// Windows agent has none of it); the rules are the same for https.
//
// Errors: std::invalid_argument with a message about "server_url". Pure
// functions; thread-safe.
#pragma once

#include <string>

namespace halvenor::agent {

inline constexpr std::size_t kMaxServerUrlLength = 2048;

struct ServerAddress {
  bool tls = true;     // always: the agent speaks only https
  std::string host;    // lower-case DNS name or address text, without IPv6 brackets
  std::string port;    // decimal, "443" when the URL has none
  bool host_is_address = false;
  // "host[:port]" as the Host header carries it.
  std::string authority() const;
};

// Accepts https URLs only; a path, if any, is ignored (the agent's paths
// are fixed). Refuses spaces and control characters, user names, fragments,
// and ports outside 1-65535.
ServerAddress parse_server_url(const std::string& url);

}  // namespace halvenor::agent
