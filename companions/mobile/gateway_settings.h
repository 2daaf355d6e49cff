// Settings of the "http" gateway driver, as IT writes them in the
// configuration's "mobile_providers" or saves them from the dashboard:
//
//   "url"                https://... (plain http only to 127.0.0.1, ::1 or
//                        localhost, for a gateway on the same machine)
//   "method"             "POST" (default) or "PUT"
//   "auth_header"        name of the header carrying the credential
//   "credential_file"    absolute path of a file whose first line is that
//                        header's value; read at every send, never stored,
//                        logged or shown (required with auth_header)
//   "ca_file"            optional absolute path of the PEM certificate(s) the
//                        gateway's certificate must chain to; without it the
//                        system's trust store decides
//   "timeout_seconds"    bound of one exchange, default 10
//   "request_template"   the JSON body, see request_template.h
//   "idempotency_header" default "Idempotency-Key"; carries the job id
//   "sender"             optional sender name or number ({{sender}})
//   "test_recipient"     the number the connection test sends to
//   "label"              optional name shown to IT
//
// Unknown keys are refused so that a mistyped key is not silently ignored.
// Stateless and thread-safe.
#pragma once

#include <string>

#include "base/json_text.h"
#include "net/http_client.h"

namespace halvenor {

inline constexpr double kDefaultGatewayTimeoutSeconds = 10.0;
inline constexpr double kMinGatewayTimeoutSeconds = 0.1;
inline constexpr double kMaxGatewayTimeoutSeconds = 60.0;
inline constexpr std::size_t kMaxGatewayUrlLength = kMaxUrlLength;
inline constexpr std::size_t kMaxHeaderNameLength = 64;
inline constexpr std::size_t kMaxSettingPathLength = 1024;
inline constexpr std::size_t kMaxSenderLength = 64;
inline constexpr std::size_t kMaxAccountLabelLength = 80;
inline constexpr const char* kDefaultIdempotencyHeader = "Idempotency-Key";
// Sent with the connection test, so a gateway can answer it without
// delivering anything.
inline constexpr const char* kTestRequestHeader = "X-Halvenor-Test";

struct GatewaySettings {
  HttpUrl url;
  std::string method = "POST";
  std::string auth_header;      // empty: no credential is sent
  std::string credential_file;  // set exactly when auth_header is
  std::string ca_file;          // empty: system trust store
  double timeout_seconds = kDefaultGatewayTimeoutSeconds;
  Json request_template;
  std::string idempotency_header = kDefaultIdempotencyHeader;
  std::string sender;
  std::string test_recipient;  // empty when not configured
};

// Throws ProviderConfigurationError naming the first unusable setting.
GatewaySettings parse_gateway_settings(const Json& settings);

// Settings of the "mock" driver: only "driver" and "label". Throws
// ProviderConfigurationError for anything else.
void check_mock_settings(const Json& settings);

// The address split for connecting. Throws ProviderConfigurationError.
HttpUrl parse_gateway_url(const std::string& url);

}  // namespace halvenor
