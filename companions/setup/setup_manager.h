// Deployment settings and certificates of an installation: host name, bind
// address and port, the local certificate authority and the HTTPS
// certificate, agent bundles and browser-trust requests, and the saved
// settings file the server starts from.
//
// Thread-safety: request threads call the operations concurrently;
// renewal_check_at and renew_local_certificate belong to the serve-loop
// thread. Refusals are AccessDenied (not an administrator) and AccessInvalid.
#pragma once

#include <filesystem>
#include <mutex>
#include <optional>
#include <string>

#include "server/core/json_text.h"

namespace halvenor {

class Core;
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

class SetupManager {
 public:
  // `data_folder` holds the private files (settings, certificates, keys).
  SetupManager(Core& core, std::filesystem::path root, SetupSettings settings,
               std::filesystem::path data_folder);

  // Monotonic time of the next renewal check (serve-loop thread only).
  double renewal_check_at;
  void renew_local_certificate(http::TlsContext* context);

  Json view(const std::string& actor);
  void allowed(const std::string& actor);
  Json save(const std::string& actor, const Json& request);
  Json issue(const std::string& actor, bool csr = false);
  Json import_certificate(const std::string& actor, const Json& request);
  Json distribute(const std::string& actor);
  std::string public_ca(const std::string& actor);
  Json request_browser_trust(const std::string& actor, const Json& device_id);
  std::string bundle(const std::string& actor, const Json& device_id);
  Json agent_update(const std::string& device);
  Json browser_request(const std::string& device);
  Json agent_report(const std::string& device, const Json& report);
  Json browser_report(const std::string& device, const Json& report);

  Json plan();
  void write_plan(const Json& plan);

  const SetupSettings& settings() const { return settings_; }
  std::filesystem::path ca_path() const;

 private:
  [[noreturn]] void not_available(const char* what);

  Core& core_;
  std::filesystem::path root_;
  SetupSettings settings_;
  std::filesystem::path data_folder_;
  std::mutex mutex_;
};

}  // namespace halvenor
