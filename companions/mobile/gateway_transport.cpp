#include "companions/mobile/gateway_transport.h"

#include <fstream>

#include "base/errors.h"
#include "companions/mobile/request_template.h"

namespace halvenor {
namespace {

bool retryable_status(int status) { return status == 408 || status == 425 || status == 429 || status >= 500; }

std::string status_text(const HttpReply& reply) {
  return std::to_string(reply.status) + (reply.reason.empty() ? "" : " " + reply.reason);
}

// The gateway's own id for the message, when its answer names one.
std::string provider_reference(const std::string& body) {
  Json parsed;
  try {
    parsed = json::parse_text(body);
  } catch (const std::exception&) {
    return {};
  }
  if (!parsed.is_object()) return {};
  for (const char* key : {"id", "message_id", "reference"}) {
    auto it = parsed.find(key);
    if (it == parsed.end() || !it->is_string()) continue;
    const std::string& value = it->get_ref<const std::string&>();
    if (value.empty() || value.size() > kMaxProviderReference) continue;
    bool printable = true;
    for (char c : value) printable = printable && c >= 0x20 && c < 0x7f;
    if (printable) return value;
  }
  return {};
}

}  // namespace

std::string read_credential(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConnectorError("The credential file " + path + " could not be read.");
  std::string content(kMaxCredentialBytes + 1, '\0');
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  content.resize(static_cast<std::size_t>(in.gcount()));
  std::size_t line_end = content.find('\n');
  if (line_end == std::string::npos && content.size() > kMaxCredentialBytes)
    throw ConnectorError("The credential file " + path + " is longer than " + std::to_string(kMaxCredentialBytes) +
                         " bytes.");
  std::string value = content.substr(0, line_end);
  while (!value.empty() && (value.back() == '\r' || value.back() == ' ' || value.back() == '\t')) value.pop_back();
  std::size_t start = value.find_first_not_of(" \t");
  value = start == std::string::npos ? std::string() : value.substr(start);
  if (value.empty()) throw ConnectorError("The credential file " + path + " is empty.");
  for (char c : value)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
      throw ConnectorError("The credential file " + path + " holds control characters.");
  return value;
}

GatewayTransport::GatewayTransport(GatewaySettings settings)
    : settings_(std::move(settings)), client_(settings_.url, settings_.ca_file, settings_.timeout_seconds, kMaxReplyBytes, "gateway") {}

SendOutcome GatewayTransport::send(const OutgoingMessage& message) {
  SendOutcome outcome;
  HeaderList headers;
  if (!settings_.auth_header.empty()) {
    try {
      headers.emplace_back(settings_.auth_header, read_credential(settings_.credential_file));
    } catch (const ConnectorError& e) {
      outcome.kind = SendOutcome::Retry;
      outcome.reason = e.what();
      outcome.credential_unreadable = true;
      return outcome;
    }
  }
  headers.emplace_back(settings_.idempotency_header, message.idempotency_key);
  if (message.connection_test) headers.emplace_back(kTestRequestHeader, "1");

  PlaceholderValues values{{"recipient", message.phone},
                           {"text", message.text},
                           {"idempotency_key", message.idempotency_key},
                           {"channel", message.channel},
                           {"alert_id", message.alert_id},
                           {"sender", settings_.sender},
                           {"template", message.template_name},
                           {"link", message.link},
                           {"mode", message.mode}};
  std::string body = json::field_text(fill_request_template(settings_.request_template, values));

  HttpReply reply;
  try {
    reply = client_.exchange(settings_.method, headers, body);
  } catch (const ConnectorError& e) {
    outcome.kind = SendOutcome::Retry;
    outcome.reason = e.what();
    return outcome;
  }
  outcome.status = reply.status;
  if (reply.status >= 200 && reply.status < 300) {
    outcome.kind = SendOutcome::Sent;
    outcome.provider_reference = provider_reference(reply.body);
  } else if (retryable_status(reply.status)) {
    outcome.kind = SendOutcome::Retry;
    outcome.reason = "The gateway answered " + status_text(reply) + ".";
  } else {
    outcome.kind = SendOutcome::Failed;
    outcome.reason = "The gateway refused the message: " + status_text(reply) + ".";
  }
  return outcome;
}

}  // namespace halvenor
