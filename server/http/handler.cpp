#include "server/http/handler.h"

#include <algorithm>

#include "base/errors.h"
#include "server/core/core.h"
#include "server/http/error_mapping.h"
#include "server/http/header_rules.h"
#include "server/http/rate_limited_report.h"
#include "server/http/request_reader.h"

namespace halvenor::http {
namespace {

bool in(const std::vector<std::string>& list, const std::string& value) {
  return std::find(list.begin(), list.end(), value) != list.end();
}

// The route is the client's text: kept short and printable for the log.
std::string loggable(std::string_view text) {
  std::string out(text.substr(0, 200));
  for (char& c : out)
    if (c < 0x20 || c == 0x7f) c = '?';
  return out;
}

RateLimitedReport report_throttled;
RateLimitedReport report_enrolment_refused;

bool is_acknowledgement(const HttpRequest& request, const std::string& path) {
  return request.method == "POST" && path == "/api/mobile/acknowledge";
}

}  // namespace

HttpResponse reply_bytes(int status, std::string body, const std::string& content_type, const std::string& filename) {
  HttpResponse response;
  response.status = status;
  response.headers.emplace_back("Content-Type", content_type);
  response.headers.emplace_back("Content-Length", std::to_string(body.size()));
  if (!filename.empty())
    response.headers.emplace_back("Content-Disposition", "attachment; filename=\"" + filename + "\"");
  response.headers.emplace_back("Cache-Control", "no-store");
  response.headers.emplace_back("X-Content-Type-Options", "nosniff");
  response.headers.emplace_back("X-Frame-Options", "DENY");
  response.headers.emplace_back("Referrer-Policy", "no-referrer");
  response.headers.emplace_back("Content-Security-Policy", kContentSecurityPolicy);
  response.body = std::move(body);
  return response;
}

HttpResponse reply(int status, const Json& payload) {
  return reply_bytes(status, json::field_text(payload), "application/json");
}

long long content_length(const HttpRequest& request) {
  auto header = request.header("Content-Length");
  if (!header) return 0;
  // The transport's reading decides what was announced; both must agree, so
  // a number too large for 64 bits is still a number (refused by size, 413).
  auto length = parse_content_length(*header);
  if (!length) throw RequestError("Content-Length is not a number");
  return *length;
}

Json body_json(const HttpRequest& request) { return json::parse_body(request.body); }

std::string bearer_token(const HttpRequest& request) {
  auto header = request.header("Authorization");
  if (!header || header->rfind("Bearer ", 0) != 0) return "";
  return std::string(header->substr(7));
}

std::string id_text(const Json& data, const char* key) {
  auto it = data.find(key);
  if (it == data.end()) return "";
  if (it->is_string()) return it->get<std::string>();
  if (it->is_boolean()) return it->get<bool>() ? "True" : "False";
  if (it->is_null()) return "None";
  return json::field_text(*it);
}

HttpResponse Handler::handle(const HttpRequest& request) {
  std::string path = request.target;
  if (request.method == "GET" && path.rfind("/?", 0) == 0) path = "/";
  RequestContext context{request, service_, path, "", "", Json::object(), ""};
  try {
    return route(context);
  } catch (...) {
    ErrorReply error = map_current_exception();
    return reply(error.status, Json{{"error", error.message}});
  }
}

HttpResponse Handler::route(RequestContext& context) {
  const HttpRequest& request = context.request;
  refuse_ambiguous_headers(request);
  std::vector<std::string> allowed = service_.allowed_hosts;
  if (allowed.empty()) {
    allowed = {"127.0.0.1:" + std::to_string(service_.port), "localhost:" + std::to_string(service_.port)};
  }
  auto host = request.header("Host");
  if (!host || !in(allowed, std::string(*host))) return reply(403, Json{{"error", "Local host required"}});
  auto origin = request.header("Origin");
  if (origin && !origin->empty()) {
    bool same = std::any_of(allowed.begin(), allowed.end(),
                            [&](const std::string& h) { return *origin == service_.scheme + "://" + h; });
    if (!same) return reply(403, Json{{"error", "Same origin required"}});
  }
  context.base_url = service_.scheme + "://" + std::string(*host);

  if (auto response = sign_in_routes(context)) return *response;
  if (auto response = public_file_routes(context)) return *response;
  if (is_acknowledgement(request, context.path)) {
    if (auto refused = throttled(context)) return *refused;
    try {
      if (auto response = acknowledgement_route(context)) return *response;
    } catch (const MobileAckInvalid&) {
      // Every refusal is charged, expired or withdrawn links included: a
      // real recipient retries a handful of times at most, and sorting
      // refusals by cause would tie this check to the companion's wording.
      throttle_.record_failure(request.peer);
      throw;
    }
  }

  if (request.method == "POST" && context.path == "/api/agent/enrol") {
    if (auto refused = throttled(context)) return *refused;
    try {
      if (auto response = enrolment_route(context)) return *response;
    } catch (const EnrolmentRefused& e) {
      throttle_.record_failure(request.peer);
      report_enrolment_refused("refused agent enrolment from " +
                               (request.peer.empty() ? std::string("?") : request.peer) + ": " + e.what());
      throw;
    }
  }

  // No credential at all cannot be a guess (a browser before sign-in), so
  // only presented ones are charged.
  const std::string token = bearer_token(request);
  if (!token.empty()) {
    if (auto refused = throttled(context)) return *refused;
  }
  auto caller = context.core().authenticate(token);
  if (!caller || caller->actor.empty()) {
    if (!token.empty()) throttle_.record_failure(request.peer);
    return reply(401, Json{{"error", "Valid bearer credential required"}});
  }
  context.actor = caller->actor;
  context.role = caller->role;

  if (request.method == "POST") {
    auto type = request.header("Content-Type");
    if (!type || *type != "application/json") return reply(415, Json{{"error", "application/json required"}});
    long long length = content_length(request);
    if (!(length > 0 && length <= static_cast<long long>(kApiBodyBytes))) return reply(413, Json{{"error", "Request must be 1–16384 bytes"}});
    Json data = body_json(request);
    if (!data.is_object()) throw Invalid("JSON object required");
    context.data = std::move(data);
  }
  if (auto response = authenticated_routes(context)) return *response;
  return reply(403, Json{{"error", "Route unavailable for this role"}});
}

std::optional<HttpResponse> Handler::throttled(const RequestContext& context) {
  const auto wait = throttle_.refusal(context.request.peer);
  if (!wait) return std::nullopt;
  const std::string& address = context.request.peer;
  report_throttled("too many failed credentials from " + (address.empty() ? std::string("?") : address) + " on " +
                   loggable(context.request.method + " " + context.path) + "; refusing with 429");
  HttpResponse response = reply(429, Json{{"error", "Too many failed attempts; try again later"}});
  response.headers.emplace_back("Retry-After", std::to_string(wait->count()));
  return response;
}

}  // namespace halvenor::http
