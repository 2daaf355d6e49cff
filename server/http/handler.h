// Request intake: Host and Origin guards, public routes, bearer
// authentication, body rules, the authenticated route table with its role
// gates, and the single response writer.
//
// One Handler serves all connections; handle() is safe to call from many
// worker threads at once (it keeps no per-request state of its own; the
// failure throttle it shares across requests locks itself).
//
// Presented credentials that fail (a bearer token no one holds, a mobile
// acknowledgement or an agent enrolment code that is refused) are charged to
// the request's peer address in a FailureThrottle; an address out of budget
// gets 429 with Retry-After before its credential is even looked at, so a
// correct guess is not told apart from a wrong one while it is throttled.
#pragma once

#include <optional>
#include <string>

#include "base/json_text.h"
#include "server/http/failure_throttle.h"
#include "server/http/http_message.h"
#include "server/http/service_context.h"

namespace halvenor::http {

inline constexpr const char* kContentSecurityPolicy =
    "default-src 'self'; script-src 'self'; style-src 'self'; frame-ancestors 'none'; base-uri 'none'; "
    "form-action 'self'";

// Everything a route sees of one request.
struct RequestContext {
  const HttpRequest& request;
  ServiceContext& service;
  std::string path;      // the target, with a GET "/?..." already turned into "/"
  std::string actor;     // set once authenticated
  std::string role;
  Json data;             // the JSON object body of an authenticated POST
  std::string base_url;  // scheme://Host

  Core& core() const { return *service.core; }
};

// The one response writer: JSON payloads in the reply encoding, or bytes with
// their content type, plus the fixed security headers.
HttpResponse reply(int status, const Json& payload);
HttpResponse reply_bytes(int status, std::string body, const std::string& content_type,
                         const std::string& filename = "");

// "Content-Length" as a decimal integer (white space around it allowed, "0"
// when absent); throws RequestError when it is not a number.
long long content_length(const HttpRequest& request);

// Parses a body as a JSON value (UTF-8 with optional BOM, UTF-16, UTF-32).
Json body_json(const HttpRequest& request);

// The text of the Authorization bearer credential, or "" when there is none.
std::string bearer_token(const HttpRequest& request);

// A JSON value as the text a route uses for an id ("5" for 5, "" when absent).
std::string id_text(const Json& data, const char* key);

class Handler {
 public:
  explicit Handler(ServiceContext& service) : service_(service) {}
  HttpResponse handle(const HttpRequest& request);

 private:
  HttpResponse route(RequestContext& context);
  std::optional<HttpResponse> throttled(const RequestContext& context);
  ServiceContext& service_;
  FailureThrottle throttle_;
};

// Route groups, tried by the handler in this order.
std::optional<HttpResponse> sign_in_routes(RequestContext& context);        // public
std::optional<HttpResponse> public_file_routes(RequestContext& context);    // public
std::optional<HttpResponse> acknowledgement_route(RequestContext& context); // public
std::optional<HttpResponse> enrolment_route(RequestContext& context);       // public
std::optional<HttpResponse> authenticated_routes(RequestContext& context);

}  // namespace halvenor::http
