#include "agent/agent_settings.h"

#include <cctype>

#include "agent/authority_certificate.h"
#include "base/errors.h"
#include "net/private_files.h"

namespace halvenor::agent {
namespace {

const std::string& text_member(const Json& document, const char* key, const char* file = "settings file") {
  auto it = document.find(key);
  if (it == document.end() || !it->is_string() || it->get_ref<const std::string&>().empty())
    throw AgentSetupError(std::string("The ") + file + " needs \"" + key + "\" as a non-empty text.");
  return it->get_ref<const std::string&>();
}

std::string upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

void parse_server_trust(const Json& document, AgentSettings& out, const char* file) {
  if (!document.is_object()) throw AgentSetupError(std::string("The ") + file + " must hold a JSON object.");
  out.server_url = text_member(document, "server_url", file);
  try {
    out.server = parse_server_url(out.server_url);
  } catch (const std::invalid_argument& e) {
    throw AgentSetupError(std::string("server_url ") + e.what());
  }
  out.ca_pem = text_member(document, "ca_certificate", file);
  out.ca_fingerprint = upper(text_member(document, "ca_sha256_fingerprint", file));
  std::string actual;
  try {
    actual = read_authority_certificate(out.ca_pem).fingerprint;
  } catch (const Invalid& e) {
    throw AgentSetupError(std::string("ca_certificate: ") + e.what());
  }
  if (actual != out.ca_fingerprint)
    throw AgentSetupError("ca_sha256_fingerprint does not match ca_certificate (the certificate's is " + actual + ").");
  auto live = document.find("allow_live_incidents");
  if (live != document.end()) {
    if (!live->is_boolean()) throw AgentSetupError("allow_live_incidents must be true or false.");
    out.allow_live_incidents = live->get<bool>();
  }
}

AgentSettings parse_agent_settings(const Json& document) {
  AgentSettings out;
  parse_server_trust(document, out, "settings file");
  out.device_id = text_member(document, "device_id");
  out.token = text_member(document, "token");
  for (char c : out.token)
    if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f)
      throw AgentSetupError("The token in the settings file may not contain spaces or control characters.");
  return out;
}

Json read_agent_file(const std::filesystem::path& file, const std::string& what) {
  std::string text;
  try {
    text = setup::read_file(file, kMaxSettingsBytes);
  } catch (const std::exception& e) {
    throw AgentSetupError("Cannot read the " + what + ": " + e.what());
  }
  try {
    return json::parse_text(text);
  } catch (const std::exception& e) {
    throw AgentSetupError("The " + what + " " + file.string() + " is not valid JSON: " + e.what());
  }
}

AgentSettings load_agent_settings(const std::filesystem::path& file) {
  return parse_agent_settings(read_agent_file(file, "settings file"));
}

}  // namespace halvenor::agent
