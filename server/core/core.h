// Core: the service's single domain object.
//
// It owns the SQLite store and its migrations, the audit chain, caller
// authentication, recipient targeting, alert validation and creation, desktop
// delivery, cancellation and stand-down, and the dashboard snapshot. The SMS
// and WhatsApp side and organisation sign-in live above it: the program that
// builds the Core connects them (connect_mobile, connect_sign_in) before it
// serves any request, and they outlive every operation.
//
// Thread-safety: every operation may be called from any number of request
// threads at once. Each takes the current configuration snapshot once and
// borrows its own database connection; writers that decide on what they read
// begin with "BEGIN IMMEDIATE", which serialises them and the audit chain.
//
// Errors: refusals are Invalid (see errors.h) with one operator-facing message;
// a malformed configuration or request surfaces as RequestError/MissingKey or a
// JSON type error; database failures as DatabaseError.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/clock.h"
#include "base/json_text.h"
#include "server/core/agent_heartbeats.h"
#include "server/core/config_snapshot.h"
#include "server/core/database.h"
#include "server/core/mobile_channels.h"
#include "server/core/sign_in_sessions.h"
#include "server/core/write_batch.h"

namespace halvenor {

struct CoreOptions {
  std::shared_ptr<Clock> clock;           // defaults to the system clock
  std::shared_ptr<RandomSource> random;   // defaults to OpenSSL's generator
};

// A (recipient id, channel) pair that alert creation writes as a delivery row.
struct DeliveryTarget {
  std::string recipient_id;
  std::string channel;
  bool operator==(const DeliveryTarget&) const = default;
};

// (actor, role) of an authenticated caller.
struct Caller {
  std::string actor;
  std::string role;
};

class Core {
 public:
  // Checks the policy keys, then creates and migrates the database. Throws
  // Invalid for an unusable policy; database errors propagate unchanged.
  Core(Json config, std::string database, CoreOptions options = {});
  ~Core();
  Core(const Core&) = delete;
  Core& operator=(const Core&) = delete;

  // --- store, configuration and audit ---------------------------------------
  ConfigPtr config() const { return config_.load(); }
  // Publishes a new configuration document; the next operation sees it.
  void replace_config(Json document);
  const std::string& database_path() const { return database_.path(); }
  Database& database() { return database_; }
  DbScope db() { return DbScope(database_); }
  // Appends one chained audit row through `conn`, inside the caller's
  // immediate transaction.
  void audit(Connection& conn, const std::optional<std::string>& actor, const std::string& event,
             const Json& detail);
  bool live_enabled() const { return live_enabled_.load(); }
  // Whether `doc`'s live desktop policy switches live alerts on; throws
  // Invalid for a policy the service would refuse to start with.
  static bool live_policy(const Json& doc);
  // The mode and transport policy, then live_policy: what construction
  // checks before it touches the database.
  static bool check_policy(const Json& doc);
  const std::string& deployment_scope() const { return deployment_scope_; }
  Clock& clock() const { return *clock_; }
  RandomSource& random() const { return *random_; }

  // Called once, before the first request; the parts must outlive the Core's
  // use of them. A Core that serves alerts without them throws logic_error.
  void connect_mobile(MobileRouting& routing, MobileJobs& jobs);
  void connect_sign_in(SignInSessions& sessions);
  MobileRouting& mobile_routing() const;
  MobileJobs& mobile_jobs() const;

  // --- directory and targeting ----------------------------------------------
  bool can_send_live(const std::string& actor) const;
  Json sites() const;
  Json site_labels() const;
  Json departments() const;
  Json department_labels() const;
  // Directory entries addressed by a targeting request: devices first, then
  // contacts, in document order. Pointers stay valid while `config` lives.
  std::vector<const Json*> recipients(const ConfigSnapshot& config, const Json& data) const;

  // --- alerts ---------------------------------------------------------------
  std::vector<DeliveryTarget> validate(const Json& data, const std::optional<std::string>& actor);
  std::string create(const std::string& actor, const Json& data, const std::optional<std::string>& key);
  void cancel(const std::string& actor, const std::string& aid);
  std::string conclude(const std::string& actor, const std::string& incident_id, const Json& confirmation);
  Json snapshot();

  // --- desktop agents -------------------------------------------------------
  Json agent_profile(const std::string& actor);
  Json agent_channel_status();
  Json poll(const std::string& device, bool live_capable = false,
            const std::string& protocol = "live-desktop-v1");
  void receipt(const std::string& device, const std::string& aid, const Json& event);
  // Polls' heartbeats, kept in memory until the next flush (see agent_heartbeats.h).
  AgentHeartbeats& heartbeats() { return heartbeats_; }
  // Writes the heartbeats recorded since the last call; the service calls it
  // about twice a second. Database errors propagate, the heartbeats are kept.
  void flush_heartbeats() { heartbeats_.flush(database_); }

  // --- authentication -------------------------------------------------------
  // The caller a bearer credential belongs to, or nullopt when none.
  std::optional<Caller> authenticate(const std::string& token);

  // The directory lists of one configuration document, so that an operation
  // that read the configuration once answers from that one version.
  static Json sites_of(const Json& doc);
  static Json departments_of(const Json& doc);
  static Json site_labels_of(const Json& doc);
  static Json department_labels_of(const Json& doc);

 private:
  void migrate();

  std::atomic<ConfigPtr> config_;
  Database database_;
  AgentHeartbeats heartbeats_;
  WriteBatch receipts_;
  std::shared_ptr<Clock> clock_;
  std::shared_ptr<RandomSource> random_;
  // Follows the published configuration, so that administrators can switch
  // to exercises only (and back) without a restart.
  std::atomic<bool> live_enabled_{false};
  std::string deployment_scope_ = "operational";
  MobileRouting* mobile_routing_ = nullptr;
  MobileJobs* mobile_jobs_ = nullptr;
  SignInSessions* sign_in_ = nullptr;
};

}  // namespace halvenor
