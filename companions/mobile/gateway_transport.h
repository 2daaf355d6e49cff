// The "http" driver: each message is one JSON request to the account's
// gateway, built from its request template, carrying the job id in the
// idempotency header and, when configured, the credential read from its file
// at that moment (so IT can rotate it without a restart).
//
// Outcomes: 2xx sent; 408, 425, 429 and 5xx, a time-out, a connection or TLS
// failure, or an unreadable credential file are retried; any other answer is
// a permanent failure. The connection test adds the header
// "X-Halvenor-Test: 1" so the gateway can answer without delivering.
//
// Thread-safety: send() may be called concurrently.
#pragma once

#include "companions/mobile/gateway_settings.h"
#include "companions/mobile/provider_transport.h"
#include "net/http_client.h"

namespace halvenor {

// The longest credential accepted from a credential file.
inline constexpr std::size_t kMaxCredentialBytes = 8 * 1024;
// The longest provider message id kept from a gateway's answer.
inline constexpr std::size_t kMaxProviderReference = 128;

class GatewayTransport final : public ProviderTransport {
 public:
  // Throws ConnectorError when the TLS context cannot be built (CA file).
  explicit GatewayTransport(GatewaySettings settings);
  SendOutcome send(const OutgoingMessage& message) override;

 private:
  GatewaySettings settings_;
  HttpClient client_;
};

// The header value in a credential file: its first line, without the line
// break and surrounding blanks. Throws ConnectorError, whose message never
// holds any of the file's content, when the file cannot be read, is empty,
// too long, or holds control characters.
std::string read_credential(const std::string& path);

}  // namespace halvenor
