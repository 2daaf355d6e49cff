// One HTTP/1.0 request as read off a connection, and the reply to it.
//
// The transport (ExclusiveHTTPServer) fills an HttpRequest only once the
// request line, the headers and (when announced and small enough) the body
// have arrived, so route code never blocks on a client.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace halvenor::http {

// The largest body the transport reads at all. Routes apply their own,
// smaller limits; a request announcing more is dispatched without its body.
inline constexpr std::size_t kMaxBodyBytes = 24000;

struct HttpRequest {
  std::string method;   // as received, e.g. "GET"
  std::string target;   // request target exactly as received, query included
  std::string version;  // e.g. "HTTP/1.0"
  // Header fields in the order received, names as sent. Values have their
  // surrounding white space removed.
  std::vector<std::pair<std::string, std::string>> headers;
  // Holds exactly Content-Length bytes when that header is a decimal integer
  // with 0 < n <= kMaxBodyBytes; empty otherwise (the body was not read).
  std::string body;
  // The client's address as text (IPv4 dotted, or IPv6), as the transport accepted the
  // connection; empty for a request that did not come off a socket.
  std::string peer;

  // First header of that name, compared case-insensitively; nullopt when absent.
  std::optional<std::string_view> header(std::string_view name) const;
};

struct HttpResponse {
  int status = 200;
  // Written after the transport's own status line, Server and Date headers,
  // in this order.
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

// Header field names compare without regard to ASCII letter case.
bool same_field_name(std::string_view a, std::string_view b);

// The standard reason phrase for a status code ("OK", "Not Found", ...).
std::string_view reason_phrase(int status);

}  // namespace halvenor::http
