// Support for tests that run the built agent against the built server over
// HTTPS: a local authority and a certificate for "localhost", a server on a
// fixed port that can be stopped and started again on the same database, and
// agents started headless with their own settings and state folders.
//
// Not thread-safe; each object belongs to one test. Failures throw
// std::runtime_error.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "tests/process/process_support.h"

namespace halvenor::testing {

inline constexpr char kOperatorToken[] = "op-token-0123456789";
inline constexpr char kAuditorToken[] = "aud-token-0123456789";
inline constexpr char kWardPcToken[] = "pc1-token-0123456789";
inline constexpr char kDeskPcToken[] = "pc2-token-0123456789";

struct LocalAuthority {
  std::filesystem::path ca_file, chain_file, key_file;
  std::string ca_pem, fingerprint;
};
// An authority and a certificate for "localhost" it issued, written into `folder`.
LocalAuthority issue_localhost_certificate(const TempFolder& folder, const std::string& prefix = "");

// Operators, an auditor and two receiving computers (pc-1, pc-2) at one site;
// live desktop enabled when `live` is true.
Json agent_test_config(bool live);

// The server with the authority's certificate on 127.0.0.1, restartable on
// the same port and database.
class TlsServer {
 public:
  TlsServer(const TempFolder& folder, const Json& config, const LocalAuthority& pki);
  // From the next start, serves under the name its certificate carries
  // (--public-host localhost:PORT), as an installation does.
  void serve_as_localhost() { as_localhost_ = true; }
  void start();
  void stop();  // SIGTERM, then waits for the exit
  int port() const { return port_; }
  std::string url() const { return "https://localhost:" + std::to_string(port_); }

  HttpReply get(const std::string& target, const std::string& token);
  HttpReply post(const std::string& target, const std::string& token, const Json& body,
                 std::vector<std::pair<std::string, std::string>> more = {});
  // Creates an alert as the operator; its identifier.
  std::string create_alert(const Json& request, const std::string& idempotency_key);
  // The alert as /api/state lists it (an empty object when absent).
  Json alert_in_state(const std::string& id);
  // display_status of the alert's desktop delivery to `device`.
  std::string display_status(const std::string& id, const std::string& device);
  // /api/state's devices[].last_seen for `device`.
  Json last_seen(const std::string& device);
  // Audit events (in order) whose actor is `actor` and detail names `alert_id`.
  std::vector<std::string> audit_events(const std::string& actor, const std::string& alert_id);

 private:
  const TempFolder& folder_;
  const LocalAuthority& pki_;
  std::string config_file_, db_file_;
  int port_ = 0;
  bool as_localhost_ = false;
  Service service_;
};

struct AgentSetup {
  std::string device_id, token;
  bool allow_live = true;
  std::string ca_pem, fingerprint;  // what the settings pin
};

// A headless agent with its own state folder inside `folder`.
class AgentProcess {
 public:
  AgentProcess(const TempFolder& folder, const std::string& name, const std::string& server_url,
               const AgentSetup& setup);
  // One without settings of its own, for enrol().
  AgentProcess(const TempFolder& folder, const std::string& name);
  // Runs `agent --enrol rollout --state-dir ... --hostname hostname` to its
  // end; its exit status (its output stays readable through process()).
  int enrol(const std::filesystem::path& rollout, const std::string& hostname);
  // Starts it with --headless, --state-dir, --poll-interval 1 and `extra`
  // (and --settings unless it enrolled).
  void start(const std::vector<std::string>& extra);
  ChildProcess& process() { return *process_; }
  // Reads output lines until one after the previous match contains
  // `needle`; true when found. Every line read is kept in lines().
  bool wait_for(const std::string& needle, std::chrono::milliseconds timeout = std::chrono::seconds(60));
  const std::vector<std::string>& lines() const { return lines_; }
  bool saw(const std::string& needle) const;
  // Reads what the agent printed so far without waiting long.
  void collect(std::chrono::milliseconds quiet = std::chrono::milliseconds(200));
  std::filesystem::path state_folder() const { return state_; }
  std::filesystem::path settings_file() const { return settings_; }

 private:
  std::filesystem::path settings_, state_;
  std::unique_ptr<ChildProcess> process_;
  std::vector<std::string> lines_;
  std::size_t cursor_ = 0;  // lines before it were searched by wait_for
};

std::filesystem::path agent_program();

// Calls `check` every 100 ms until it returns true or the timeout passes.
bool eventually(const std::function<bool()>& check, std::chrono::milliseconds timeout = std::chrono::seconds(60));

}  // namespace halvenor::testing
