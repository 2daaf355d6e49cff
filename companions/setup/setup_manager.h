// Deployment settings and certificates of an installation: host name, bind
// address and port, the local certificate authority and the HTTPS
// certificate, agent certificate updates and installation bundles,
// browser-trust requests, and the saved settings file the server starts from.
//
// Files, all inside the private data folder given at construction (D) unless
// the service was started with a certificate elsewhere:
//   D/deployment/settings.json         saved host name, bind address, port
//   D/deployment/server-settings.json  the settings file `server --settings` reads
//   D/deployment/server.cer            served certificate chain (PEM), key in
//   D/deployment/server-key.pem        (owner-only)
//   ca.cer, ca-key.pem                 the local authority, beside the served certificate
//   D/deployment/pending-key.pem       key of a signing request awaiting IT's certificate
//   D/deployment/server.csr            that signing request
//   D/halvenor-mass-communication-ca.cer  the authority in DER form, for dashboard PCs
// Enrolment codes are rows of setup_enrolment_codes (the code's SHA-256, never
// the code); agent packages are read from the application folder's "packages".
// The served certificate is the `cert`/`key` of the settings object when
// given, else the two deployment files above. Private keys never leave the
// server: no operation returns one.
//
// Thread-safety: request threads call the operations concurrently; changes
// to files are serialised by one mutex. renewal_check_at and
// renew_local_certificate belong to the serve-loop thread (renewal_check_at is
// atomic because issuing or importing a certificate brings the next check
// forward so that the running server picks the new files up).
//
// Refusals: AccessDenied (the actor may not administer the deployment);
// AccessInvalid (the request is incomplete or out of order); Invalid from the
// certificate toolkit for a bad host name or an unacceptable imported chain;
// EnrolmentRefused for an agent's enrolment with a code that does not admit it.
// File-system and OpenSSL faults are std::runtime_error. Every change is one
// audit event written in an immediate transaction.
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "base/json_text.h"
#include "net/certificates.h"

namespace halvenor {

class Core;
class AccessManager;
class Connection;
namespace http {
class TlsContext;
}

struct SetupSettings {
  std::string bind = "127.0.0.1";
  int port = 8765;
  std::string url;                  // dashboard URL, empty during installation
  std::optional<std::string> cert;  // absolute path of the served certificate
  std::optional<std::string> key;
};

// Seconds between certificate-renewal checks, and before the first one.
inline constexpr double kRenewalCheckInterval = 3600.0;
inline constexpr double kFirstRenewalCheckDelay = 60.0;
// A locally issued certificate is replaced when it has this little time left.
inline constexpr int kRenewBeforeExpiryDays = 30;
inline constexpr double kMaxEnrolmentCodeHours = 24.0 * 366;
inline constexpr long long kMaxEnrolmentCodeUses = 100000;
// Free texts that agents report back are cut to this length.
inline constexpr std::size_t kMaxReportDetail = 1000;

class SetupManager {
 public:
  // `root` is the application folder; `data_folder` holds the private files.
  // `access` is null when the service runs without a configuration file.
  // Creates the setup tables.
  SetupManager(Core& core, AccessManager* access, std::filesystem::path root, SetupSettings settings,
               std::filesystem::path data_folder);

  // Tables for browser-trust requests and agent certificate reports; called
  // by the core's migration inside its transaction.
  static void create_schema(Connection& conn);

  // Monotonic time of the next renewal check (serve-loop thread).
  std::atomic<double> renewal_check_at;
  // Loads newly issued or imported files into `context` (when given), then
  // renews a locally issued served certificate that is within
  // kRenewBeforeExpiryDays of expiry. Certificates issued by anyone else are
  // left alone. Returns true when it renewed. Throws std::runtime_error when
  // renewal is due but impossible (the local authority itself has expired).
  bool renew_local_certificate(http::TlsContext* context);

  // The deployment as an administrator sees it: saved settings, served
  // certificate and authority status, pending signing request.
  Json view(const std::string& actor);
  // Returns when `actor` is an enabled user whose can_manage_users is exactly
  // true; throws AccessDenied otherwise.
  void allowed(const std::string& actor);
  // Stores {"hostname", "bind" (optional), "port" (optional, integer or
  // decimal text)}; further members (the wizard's plan) are ignored.
  Json save(const std::string& actor, const Json& request);
  // Local authority (created once, then reused) and a server certificate for
  // the saved host, or with `csr` a signing request and its pending key.
  Json issue(const std::string& actor, bool csr = false);
  // {"certificate": PEM chain from IT}: must carry the pending key and name
  // the saved host; it then replaces the served certificate.
  Json import_certificate(const std::string& actor, const Json& request);
  // Fingerprints, the CA file for dashboard PCs and where to get it, and
  // what the agents reported.
  Json distribute(const std::string& actor);
  // The local authority's certificate, DER.
  std::string public_ca(const std::string& actor);
  // The same certificate as one PEM block, which macOS, Linux trust stores
  // and Firefox's import dialog take without conversion.
  std::string public_ca_pem(const std::string& actor);
  Json request_browser_trust(const std::string& actor, const Json& device_id);
  // The agent installation ZIP for an enrolled device (see agent_bundle.h).
  std::string bundle(const std::string& actor, const Json& device_id);

  // Enrolment codes (enrolment.cpp). A code lets agents enrol themselves
  // as receiving computers of one site (and department): {"site",
  // "department"?, "expires_hours" (0 < h <= kMaxEnrolmentCodeHours),
  // "uses" (1..kMaxEnrolmentCodeUses), "live"? (default false)}. The code is
  // returned once, with the rollout file that carries it; only its SHA-256
  // is stored.
  Json create_enrolment_code(const std::string& actor, const Json& request);
  // Every code without its secret, with what is left of it.
  Json enrolment_codes(const std::string& actor);
  Json revoke_enrolment_code(const std::string& actor, const Json& code_id);
  // The file names of the agent packages in the application folder's
  // "packages" folder, and one of them as bytes (the newest when `name` is
  // empty).
  Json agent_packages(const std::string& actor);
  std::pair<std::string, std::string> agent_package(const std::string& actor, const std::string& name);
  // Unauthenticated, from an agent: {"code", "hostname"}. Adds the computer
  // to the directory (or gives the one this host enrolled before a new
  // credential) and returns its credential once. Throws EnrolmentRefused
  // for a code that does not admit it.
  Json enrol(const Json& request);

  // Agent side (the actor is the device): the authority the agent must trust
  // for the server now, and whether it reported installing it.
  Json agent_update(const std::string& device);
  // {"ca_sha256_fingerprint", "status": "installed"|"failed", "detail"?}
  Json agent_report(const std::string& device, const Json& report);
  // Records the agent version a computer reported (kept in
  // setup_agent_versions; a change is audited). A version that is not a
  // short plain text is ignored.
  void note_agent_version(const std::string& device, const std::string& version);
  // {"action": "install" with the authority, or "none"}
  Json browser_request(const std::string& device);
  // {"status": "installed"|"failed"|"declined", "detail"?}
  Json browser_report(const std::string& device, const Json& report);

  // {"bind", "port", "config", "db", "cert", "key", "public_host",
  // "hostname", "url"}; paths absolute. Needs saved settings.
  Json plan();
  // Writes the plan's settings-file keys as D/deployment/server-settings.json.
  void write_plan(const Json& plan);

  const SetupSettings& settings() const { return settings_; }
  std::filesystem::path certificate_path() const;
  std::filesystem::path key_path() const;
  std::filesystem::path ca_path() const;
  std::filesystem::path ca_key_path() const;
  std::filesystem::path deployment_folder() const { return data_folder_ / "deployment"; }
  std::filesystem::path saved_settings_path() const { return deployment_folder() / "settings.json"; }
  std::filesystem::path settings_file_path() const { return deployment_folder() / "server-settings.json"; }

 private:
  struct Deployment {
    setup::HostIdentity host;
    std::string bind;
    int port = 0;
    std::string public_host() const;
  };
  std::optional<Deployment> load_deployment() const;
  Deployment require_deployment() const;
  std::string dashboard_url(const std::optional<Deployment>& deployment) const;
  // The certificate that verifies the served one: the local authority when
  // it issued it, else the top of the served chain. Empty when none.
  setup::X509Ptr trust_anchor() const;
  bool served_certificate_names(const setup::HostIdentity& host) const;
  void refresh_settings_file(const Deployment& deployment);
  Json certificate_view() const;
  // Runs `apply` (file writes, rows) and the audit event with the detail it
  // returns in one immediate transaction.
  void record(const std::optional<std::string>& actor, const std::string& event,
              const std::function<Json(Connection&)>& apply);
  const Json& enrolled_device(const Json& doc, const Json& device_id) const;

  Core& core_;
  AccessManager* access_;
  std::filesystem::path root_;
  SetupSettings settings_;
  std::filesystem::path data_folder_;
  std::mutex mutex_;  // serialises changes to the deployment files
  std::atomic<bool> reload_pending_{false};
};

}  // namespace halvenor
