#include "tests/agent/agent_process_support.h"

#include <signal.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>
#include <thread>

#include "net/certificates.h"
#include "net/private_files.h"

namespace halvenor::testing {
namespace {

namespace fs = std::filesystem;
constexpr int kPortAttempts = 5;

double unix_now() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

LocalAuthority issue_localhost_certificate(const TempFolder& folder, const std::string& prefix) {
  auto ca_key = setup::generate_ec_p256_key();
  auto ca = setup::make_ca(ca_key.get(), "Agent Test Authority " + prefix, unix_now() - 86400);
  auto key = setup::generate_ec_p256_key();
  auto cert = setup::issue_server_certificate(ca.get(), ca_key.get(), key.get(), setup::identity("localhost"),
                                              unix_now(), 30);
  LocalAuthority out;
  out.ca_pem = setup::pem(ca.get());
  out.fingerprint = setup::sha256_fingerprint(ca.get());
  out.ca_file = folder.write(prefix + "ca.pem", out.ca_pem);
  out.chain_file = folder.write(prefix + "server.pem", setup::pem(cert.get()) + out.ca_pem);
  out.key_file = folder.path() / (prefix + "server.key");
  setup::private_write(out.key_file, setup::private_key_pem(key.get()));
  return out;
}

Json agent_test_config(bool live) {
  Json config{{"mode", live ? "controlled_live" : "test"}};
  config["users"] = Json::parse(R"([
    {"id": "op", "role": "operator", "display_name": "Olive", "token": "op-token-0123456789",
     "can_send_sms": true, "can_send_whatsapp": true, "can_send_live": true},
    {"id": "aud", "role": "auditor", "token": "aud-token-0123456789"}])");
  config["devices"] = Json::parse(R"([
    {"id": "pc-1", "token": "pc1-token-0123456789", "site": "North", "department": "Wards"},
    {"id": "pc-2", "token": "pc2-token-0123456789", "site": "North", "department": "Estates"}])");
  config["contacts"] = Json::array();
  config["groups"] = Json::array();
  config["mobile_providers"] = {{"sms", {{"driver", "mock"}}}, {"whatsapp", {{"driver", "mock"}}}};
  config["provider"] = "mock";
  if (live)
    config["live_desktop"] = {{"enabled", true}, {"assurance_completed", true}, {"assurance_reference", "CSO-2024-17"}};
  return config;
}

TlsServer::TlsServer(const TempFolder& folder, const Json& config, const LocalAuthority& pki)
    : folder_(folder), pki_(pki) {
  config_file_ = folder.write("config.json", json::indented(config)).string();
  db_file_ = (folder.path() / "core.sqlite3").string();
}

void TlsServer::start() {
  const bool fixed = port_ != 0;
  for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
    if (!fixed) port_ = free_port();
    try {
      std::vector<std::string> args{"--config", config_file_, "--db", db_file_, "--port", std::to_string(port_), "--cert",
                                    pki_.chain_file.string(), "--key", pki_.key_file.string()};
      if (as_localhost_) args.insert(args.end(), {"--public-host", "localhost:" + std::to_string(port_)});
      service_ = start_service(args);
      return;
    } catch (const std::runtime_error&) {
      // Taken in between, or (on a restart) not yet released by the old process.
      if (attempt + 1 == kPortAttempts) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
  }
}

void TlsServer::stop() {
  if (!service_.process) return;
  service_.process->send_signal(SIGTERM);
  if (!service_.process->wait_exit()) throw std::runtime_error("the server did not stop");
  service_.process.reset();
}

HttpReply TlsServer::get(const std::string& target, const std::string& token) {
  const std::vector<std::pair<std::string, std::string>> headers{{"Host", "localhost:" + std::to_string(port_)},
                                                                 {"Authorization", "Bearer " + token}};
  return https_exchange(port_, raw_request("GET", target, headers), pki_.ca_file, "localhost");
}

HttpReply TlsServer::post(const std::string& target, const std::string& token, const Json& body,
                          std::vector<std::pair<std::string, std::string>> more) {
  const std::string text = json::field_text(body);
  std::vector<std::pair<std::string, std::string>> headers{{"Host", "localhost:" + std::to_string(port_)},
                                                           {"Authorization", "Bearer " + token},
                                                           {"Content-Type", "application/json"},
                                                           {"Content-Length", std::to_string(text.size())}};
  headers.insert(headers.end(), more.begin(), more.end());
  return https_exchange(port_, raw_request("POST", target, headers, text), pki_.ca_file, "localhost");
}

std::string TlsServer::create_alert(const Json& request, const std::string& idempotency_key) {
  HttpReply created = post("/api/alerts", kOperatorToken, request, {{"Idempotency-Key", idempotency_key}});
  if (created.status != 201) throw std::runtime_error("alert not created: " + created.body);
  return created.json()["id"].get<std::string>();
}

Json TlsServer::alert_in_state(const std::string& id) {
  HttpReply state = get("/api/state", kOperatorToken);
  if (state.status != 200) throw std::runtime_error("state: " + state.body);
  const Json snapshot = state.json();  // the loop must not walk a temporary
  for (const Json& alert : snapshot["alerts"])
    if (alert["id"] == id) return alert;
  return Json::object();
}

std::string TlsServer::display_status(const std::string& id, const std::string& device) {
  const Json alert = alert_in_state(id);
  const Json deliveries = alert.value("deliveries", Json::array());
  for (const Json& d : deliveries)
    if (d["recipient_id"] == device && d["channel"] == "desktop") return d["display_status"].get<std::string>();
  return "<no desktop delivery>";
}

Json TlsServer::last_seen(const std::string& device) {
  HttpReply state = get("/api/state", kOperatorToken);
  const Json snapshot = state.json();
  for (const Json& d : snapshot["devices"])
    if (d["id"] == device) return d["last_seen"];
  return "<unknown device>";
}

std::vector<std::string> TlsServer::audit_events(const std::string& actor, const std::string& alert_id) {
  HttpReply audit = get("/api/audit", kAuditorToken);
  if (audit.status != 200) throw std::runtime_error("audit: " + audit.body);
  std::vector<std::string> events;
  const Json rows = audit.json();
  for (const Json& row : rows) {
    if (row["actor"] != actor) continue;
    Json detail = json::parse_text(row["detail"].get<std::string>());
    if (detail.value("alert_id", Json()) == alert_id) events.push_back(row["event"].get<std::string>());
  }
  return events;
}

fs::path agent_program() { return fs::path(HALVENOR_DIST_DIR) / "agent"; }

AgentProcess::AgentProcess(const TempFolder& folder, const std::string& name, const std::string& server_url,
                           const AgentSetup& s)
    : settings_(folder.path() / (name + "-settings.json")), state_(folder.path() / (name + "-state")) {
  Json settings{{"server_url", server_url},        {"device_id", s.device_id},
                {"token", s.token},                {"ca_certificate", s.ca_pem},
                {"ca_sha256_fingerprint", s.fingerprint}, {"allow_live_incidents", s.allow_live}};
  setup::private_write(settings_, json::indented(settings) + "\n");
}

AgentProcess::AgentProcess(const TempFolder& folder, const std::string& name)
    : state_(folder.path() / (name + "-state")) {}

int AgentProcess::enrol(const fs::path& rollout, const std::string& hostname) {
  process_ = std::make_unique<ChildProcess>(std::vector<std::string>{
      agent_program().string(), "--enrol", rollout.string(), "--state-dir", state_.string(), "--hostname", hostname});
  auto status = process_->wait_exit();
  if (!status) throw std::runtime_error("agent --enrol did not end");
  return *status;
}

void AgentProcess::start(const std::vector<std::string>& extra) {
  std::vector<std::string> argv{agent_program().string(), "--headless", "--state-dir", state_.string(),
                                "--poll-interval", "1"};
  if (!settings_.empty()) argv.insert(argv.begin() + 1, {"--settings", settings_.string()});
  argv.insert(argv.end(), extra.begin(), extra.end());
  process_ = std::make_unique<ChildProcess>(argv);
}

bool AgentProcess::wait_for(const std::string& needle, std::chrono::milliseconds timeout) {
  while (cursor_ < lines_.size())
    if (lines_[cursor_++].find(needle) != std::string::npos) return true;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    auto line = process_->read_line(left);
    if (!line) return false;
    lines_.push_back(*line);
    cursor_ = lines_.size();
    if (line->find(needle) != std::string::npos) return true;
  }
  return false;
}

bool AgentProcess::saw(const std::string& needle) const {
  for (const auto& line : lines_)
    if (line.find(needle) != std::string::npos) return true;
  return false;
}

void AgentProcess::collect(std::chrono::milliseconds quiet) {
  while (auto line = process_->read_line(quiet)) lines_.push_back(*line);
}

bool eventually(const std::function<bool()>& check, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (check()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return check();
}

}  // namespace halvenor::testing
