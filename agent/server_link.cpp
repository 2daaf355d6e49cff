#include "agent/server_link.h"

#include "server/core/errors.h"

namespace halvenor::agent {
namespace {

// The server's refusals are {"error": "..."}; anything else is summarised.
std::string refusal_message(const GatewayReply& reply) {
  try {
    Json body = json::parse_text(reply.body);
    if (body.is_object() && body.contains("error") && body["error"].is_string())
      return body["error"].get<std::string>();
  } catch (const std::exception&) {
  }
  return "HTTP " + std::to_string(reply.status) + (reply.reason.empty() ? "" : " " + reply.reason);
}

}  // namespace

ServerLink::ServerLink(const AgentSettings& settings, const TrustStore& trust, double timeout_seconds)
    : settings_(settings), trust_(trust), timeout_seconds_(timeout_seconds) {}

Json ServerLink::get(const std::string& path, const HeaderList& headers) const {
  return exchange("GET", path, headers, "");
}

Json ServerLink::post(const std::string& path, const Json& body) const {
  return exchange("POST", path, {}, json::field_text(body));
}

Json ServerLink::exchange(const std::string& method, const std::string& path, const HeaderList& headers,
                          const std::string& body) const {
  GatewayUrl url = settings_.server;
  url.target = path;
  HeaderList all{{"Authorization", "Bearer " + settings_.token}};
  all.insert(all.end(), headers.begin(), headers.end());
  GatewayReply reply;
  try {
    // A client per exchange: the trust file may have gained an authority
    // since the last one.
    HttpClient client(url, trust_.trust_file().string(), timeout_seconds_, kMaxServerReplyBytes);
    reply = client.exchange(method, all, body);
  } catch (const ConnectorError& e) {
    // The client's messages are written for mobile gateways; here the peer is the server.
    std::string reason = e.what();
    for (std::size_t at; (at = reason.find("gateway")) != std::string::npos;) reason.replace(at, 7, "server");
    throw LinkUnavailable(reason);
  }
  if (reply.status == 200) {
    try {
      return json::parse_text(reply.body);
    } catch (const std::exception&) {
      throw LinkUnavailable(method + " " + path + ": the server's answer is not JSON (possibly cut short).");
    }
  }
  const std::string message = method + " " + path + ": " + refusal_message(reply);
  if (reply.status >= 500 || reply.status == 401 || reply.status == 403 || reply.status == 408 ||
      reply.status == 429 || reply.status < 400)
    throw LinkUnavailable(message);
  throw LinkRefused(reply.status, message);
}

}  // namespace halvenor::agent
