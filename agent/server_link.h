// The agent's HTTPS exchanges with the server: one JSON request and reply at
// a time through the platform's transport (agent/server_transport.h),
// verified against the trust store's authorities and the server's name,
// bounded by a deadline.
//
// Errors: LinkUnavailable when the server cannot be reached or answers with
// a server fault (5xx), or the credential is not accepted (401/403, which an
// administrator fixes without the agent's help): worth retrying later.
// LinkRefused when the server refused this particular request (any other
// 4xx) with its message: retrying the same request cannot succeed.
//
// Thread-safety: one thread uses it.
#pragma once

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

#include "agent/agent_settings.h"
#include "agent/server_transport.h"
#include "agent/trust_store.h"

namespace halvenor::agent {

class LinkUnavailable : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

class LinkRefused : public std::runtime_error {
 public:
  LinkRefused(int status, const std::string& message) : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

inline constexpr char kCapabilityHeader[] = "X-Halvenor-Agent-Capability";
// Lets Administration show which agent version each computer runs.
inline constexpr char kVersionHeader[] = "X-Halvenor-Agent-Version";
inline constexpr char kLiveProtocol[] = "live-desktop-v2";
inline constexpr double kExchangeTimeoutSeconds = 15.0;
// A poll carries every active alert for this computer at once; on a bad day
// that is many more than a gateway's short answer, and a reply cut short
// would hide all of them.
inline constexpr std::size_t kMaxServerReplyBytes = 8 * 1024 * 1024;

class ServerLink {
 public:
  ServerLink(const AgentSettings& settings, const TrustStore& trust, double timeout_seconds = kExchangeTimeoutSeconds);

  // GET path; the 200 reply's JSON body.
  Json get(const std::string& path, const HeaderList& headers = {}) const;
  // POST path with a JSON object body; the 200 reply's JSON body.
  Json post(const std::string& path, const Json& body) const;

 private:
  Json exchange(const std::string& method, const std::string& path, const HeaderList& headers,
                const std::string& body) const;

  // The transport for the trust file as it is now: kept while the file is
  // unchanged, so its TLS session (and on Windows its WinHTTP handles) carry
  // over from one exchange to the next.
  std::shared_ptr<const ServerTransport> transport() const;

  const AgentSettings& settings_;
  const TrustStore& trust_;
  double timeout_seconds_;
  mutable std::mutex mutex_;
  mutable std::shared_ptr<const ServerTransport> transport_;
  mutable std::string transport_trust_;  // the trust file's text the transport was built from
};

}  // namespace halvenor::agent
