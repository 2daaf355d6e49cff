#include "agent/enrolment.h"

#include "agent/server_link.h"
#include "agent/trust_store.h"
#include "net/private_files.h"

namespace halvenor::agent {

Rollout load_rollout(const std::filesystem::path& file) {
  const Json document = read_agent_file(file, "rollout file");
  Rollout out;
  out.server.allow_live_incidents = false;
  parse_server_trust(document, out.server, "rollout file");
  auto code = document.find("code");
  if (code == document.end() || !code->is_string() || code->get_ref<const std::string&>().empty())
    throw AgentSetupError("The rollout file needs \"code\" as a non-empty text.");
  out.code = code->get<std::string>();
  return out;
}

AgentSettings enrol(const Rollout& rollout, const std::filesystem::path& state_folder, const std::string& hostname) {
  setup::ensure_private_folder(state_folder);
  // A new enrolment trusts the rollout's authority alone: one announced by
  // some earlier server must not vouch for this one.
  std::error_code ignored;
  std::filesystem::remove(state_folder / "announced-ca.pem", ignored);
  TrustStore trust(rollout.server, state_folder);
  ServerLink link(rollout.server, trust);
  const Json reply = link.post("/api/agent/enrol", Json{{"code", rollout.code}, {"hostname", hostname}});

  AgentSettings settings = rollout.server;
  settings.device_id = reply.at("device_id").get<std::string>();
  settings.token = reply.at("token").get<std::string>();
  // The code's choice can only narrow what the rollout file allows.
  settings.allow_live_incidents = rollout.server.allow_live_incidents && reply.value("allow_live_incidents", false);
  const Json document{{"server_url", settings.server_url},
                      {"device_id", settings.device_id},
                      {"token", settings.token},
                      {"ca_certificate", settings.ca_pem},
                      {"ca_sha256_fingerprint", settings.ca_fingerprint},
                      {"allow_live_incidents", settings.allow_live_incidents}};
  parse_agent_settings(document);  // what the agent will read back must be acceptable
  setup::private_write(state_folder / kEnrolledSettingsFile, json::indented(document) + "\n");
  return settings;
}

}  // namespace halvenor::agent
