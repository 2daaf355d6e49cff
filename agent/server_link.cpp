#include "agent/server_link.h"

#include "base/errors.h"
#include "base/release.h"
#include "net/private_files.h"

namespace halvenor::agent {
namespace {

constexpr std::size_t kMaxTrustFileBytes = 1024 * 1024;

// The server's refusals are {"error": "..."}; anything else is summarised.
std::string refusal_message(const ServerReply& reply) {
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

std::shared_ptr<const ServerTransport> ServerLink::transport() const {
  // The trust file may have gained an authority since the last exchange; the
  // file is a few kilobytes, so comparing its text is cheaper than a handshake.
  std::string trust;
  try {
    trust = setup::read_file(trust_.trust_file(), kMaxTrustFileBytes);
  } catch (const std::exception&) {
    trust.clear();  // the transport's own load reports the problem
  }
  std::lock_guard lock(mutex_);
  if (!transport_ || trust != transport_trust_) {
    transport_ = open_server_transport(settings_.server, trust_.trust_file(), timeout_seconds_, kMaxServerReplyBytes);
    transport_trust_ = std::move(trust);
  }
  return transport_;
}

Json ServerLink::exchange(const std::string& method, const std::string& path, const HeaderList& headers,
                          const std::string& body) const {
  // Before enrolment the computer has no credential yet.
  HeaderList all{{kVersionHeader, AGENT_VERSION}};
  if (!settings_.token.empty()) all.emplace_back("Authorization", "Bearer " + settings_.token);
  all.insert(all.end(), headers.begin(), headers.end());
  ServerReply reply;
  try {
    reply = transport()->exchange(path, method, all, body);
  } catch (const TransportError& e) {
    throw LinkUnavailable(e.what());
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
