#include "companions/mobile/gateway_settings.h"

#include <cctype>
#include <fstream>
#include <iterator>

#include "base/errors.h"
#include "companions/mobile/request_template.h"
#include "server/core/config_snapshot.h"
#include "server/core/contact_directory.h"

namespace halvenor {
namespace {

constexpr const char* kGatewayKeys[] = {"driver",          "label",           "url",
                                        "method",          "auth_header",     "credential_file",
                                        "ca_file",         "timeout_seconds", "request_template",
                                        "idempotency_header", "sender",       "test_recipient"};
constexpr const char* kMockKeys[] = {"driver", "label"};
// How much of a CA file is read to look for a certificate.
constexpr std::size_t kMaxCaFileBytes = 1024 * 1024;

template <std::size_t N>
void refuse_unknown_keys(const Json& settings, const char* const (&known)[N]) {
  for (auto it = settings.begin(); it != settings.end(); ++it) {
    bool found = false;
    for (const char* k : known) found = found || it.key() == k;
    if (!found) throw ProviderConfigurationError("Unknown setting \"" + it.key() + "\"");
  }
}

// RFC 9110 token characters, the only ones a header name may hold.
bool header_name(const std::string& name) {
  if (name.empty() || name.size() > kMaxHeaderNameLength) return false;
  for (char c : name)
    if (!(std::isalnum(static_cast<unsigned char>(c)) || std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos))
      return false;
  return true;
}

std::string text_setting(const Json& settings, const char* key) {
  const Json& value = member_or(settings, key, kNull);
  if (value.is_null()) return {};
  if (!value.is_string()) throw ProviderConfigurationError(std::string("\"") + key + "\" must be text");
  return value.get<std::string>();
}

std::string absolute_path(const Json& settings, const char* key) {
  std::string path = text_setting(settings, key);
  if (path.empty()) return path;
  if (path.size() > kMaxSettingPathLength || path.front() != '/' || path.find('\0') != std::string::npos)
    throw ProviderConfigurationError(std::string("\"") + key + "\" must be an absolute file path");
  return path;
}


}  // namespace


HttpUrl parse_gateway_url(const std::string& url) {
  try {
    return parse_url(url);
  } catch (const UrlError& e) {
    throw ProviderConfigurationError(std::string("\"url\" ") + e.what());
  }
}

GatewaySettings parse_gateway_settings(const Json& settings) {
  if (!settings.is_object()) throw ProviderConfigurationError("Gateway settings must be an object");
  refuse_unknown_keys(settings, kGatewayKeys);
  GatewaySettings out;
  const Json& url = member_or(settings, "url", kNull);
  if (!url.is_string()) throw ProviderConfigurationError("\"url\" is required");
  out.url = parse_gateway_url(url.get<std::string>());

  std::string method = text_setting(settings, "method");
  if (!method.empty()) {
    if (method != "POST" && method != "PUT") throw ProviderConfigurationError("\"method\" must be POST or PUT");
    out.method = method;
  }

  out.auth_header = text_setting(settings, "auth_header");
  out.credential_file = absolute_path(settings, "credential_file");
  if (!out.auth_header.empty() && !header_name(out.auth_header))
    throw ProviderConfigurationError("\"auth_header\" is not a valid header name");
  if (out.auth_header.empty() != out.credential_file.empty())
    throw ProviderConfigurationError("\"auth_header\" and \"credential_file\" must be given together");

  out.ca_file = absolute_path(settings, "ca_file");
  if (!out.ca_file.empty()) {
    std::ifstream in(out.ca_file, std::ios::binary);
    std::string head;
    if (in) {
      head.resize(kMaxCaFileBytes);
      in.read(head.data(), static_cast<std::streamsize>(head.size()));
      head.resize(static_cast<std::size_t>(in.gcount()));
    }
    if (head.find("-----BEGIN CERTIFICATE-----") == std::string::npos)
      throw ProviderConfigurationError("\"ca_file\" " + out.ca_file + " holds no PEM certificate");
  }

  const Json& timeout = member_or(settings, "timeout_seconds", kNull);
  if (!timeout.is_null()) {
    if (!timeout.is_number() || timeout.get<double>() < kMinGatewayTimeoutSeconds ||
        timeout.get<double>() > kMaxGatewayTimeoutSeconds)
      throw ProviderConfigurationError("\"timeout_seconds\" must be a number from 0.1 to 60");
    out.timeout_seconds = timeout.get<double>();
  }

  const Json& request_template = member_or(settings, "request_template", kNull);
  out.request_template = request_template.is_null() ? default_request_template() : request_template;
  check_request_template(out.request_template);

  std::string idempotency = text_setting(settings, "idempotency_header");
  if (!idempotency.empty()) {
    if (!header_name(idempotency))
      throw ProviderConfigurationError("\"idempotency_header\" is not a valid header name");
    out.idempotency_header = idempotency;
  }

  out.sender = text_setting(settings, "sender");
  if (out.sender.size() > kMaxSenderLength)
    throw ProviderConfigurationError("\"sender\" is longer than " + std::to_string(kMaxSenderLength) + " characters");
  out.test_recipient = text_setting(settings, "test_recipient");
  if (!out.test_recipient.empty() && !international_number(out.test_recipient))
    throw ProviderConfigurationError("\"test_recipient\" must be a number in international format, such as +447700900123");
  text_setting(settings, "label");
  return out;
}

void check_mock_settings(const Json& settings) {
  if (!settings.is_object()) throw ProviderConfigurationError("Mock settings must be an object");
  refuse_unknown_keys(settings, kMockKeys);
  text_setting(settings, "label");
}

}  // namespace halvenor
