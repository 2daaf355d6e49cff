#include "companions/setup/setup_manager.h"

#include "companions/setup/certificates.h"
#include "companions/setup/private_files.h"
#include "server/core/core.h"
#include "server/core/errors.h"

namespace halvenor {
namespace {

constexpr std::size_t kMaxCertificateFileBytes = 1024 * 1024;

Json certificate_status(const std::filesystem::path& file, double now) {
  std::error_code ec;
  if (!std::filesystem::exists(file, ec)) return nullptr;
  auto cert = setup::cert_load(setup::read_file(file, kMaxCertificateFileBytes));
  auto info = setup::describe(cert.get());
  return Json{{"subject", info.subject},
              {"issuer", info.issuer},
              {"names", info.names},
              {"not_before", info.not_before},
              {"not_after", info.not_after},
              {"days_left", static_cast<long long>((info.not_after - now) / 86400.0)},
              {"sha256_fingerprint", info.sha256_fingerprint}};
}

}  // namespace

SetupManager::SetupManager(Core& core, std::filesystem::path root, SetupSettings settings,
                           std::filesystem::path data_folder)
    : renewal_check_at(core.clock().monotonic() + kFirstRenewalCheckDelay),
      core_(core),
      root_(std::move(root)),
      settings_(std::move(settings)),
      data_folder_(std::move(data_folder)) {}

std::filesystem::path SetupManager::ca_path() const {
  if (settings_.cert) return std::filesystem::path(*settings_.cert).parent_path() / "ca.cer";
  return data_folder_ / "deployment" / "ca.cer";
}

void SetupManager::not_available(const char* what) {
  throw AccessInvalid(std::string(what) + " is not available in this release yet.");
}

void SetupManager::allowed(const std::string& actor) {
  ConfigPtr cfg = core_.config();
  for (const Json& user : member_or(cfg->doc(), "users", kEmptyArray))
    if (member_or(user, "id", kNull) == actor) {
      if (exactly_true(member_or(user, "can_manage_users", kNull))) return;
      break;
    }
  throw AccessDenied();
}

Json SetupManager::view(const std::string& actor) {
  allowed(actor);
  double now = core_.clock().now();
  Json certificate = settings_.cert ? certificate_status(*settings_.cert, now) : Json(nullptr);
  return Json{{"bind", settings_.bind},
              {"port", settings_.port},
              {"url", settings_.url},
              {"tls", settings_.cert.has_value()},
              {"certificate", certificate},
              {"certificate_authority", certificate_status(ca_path(), now)}};
}

void SetupManager::renew_local_certificate(http::TlsContext* /*context*/) {
  // Renewal needs the local authority's key, which only installations made
  // by this release's certificate issuing hold; nothing to renew otherwise.
}

Json SetupManager::save(const std::string& actor, const Json&) { allowed(actor); not_available("Saving deployment settings"); }
Json SetupManager::issue(const std::string& actor, bool) { allowed(actor); not_available("Issuing certificates"); }
Json SetupManager::import_certificate(const std::string& actor, const Json&) {
  allowed(actor);
  not_available("Importing certificates");
}
Json SetupManager::distribute(const std::string& actor) { allowed(actor); not_available("Certificate distribution"); }

std::string SetupManager::public_ca(const std::string& actor) {
  allowed(actor);
  std::error_code ec;
  if (!std::filesystem::exists(ca_path(), ec)) throw AccessInvalid("No local certificate authority has been issued.");
  return setup::der(setup::cert_load(setup::read_file(ca_path(), kMaxCertificateFileBytes)).get());
}

Json SetupManager::request_browser_trust(const std::string& actor, const Json&) {
  allowed(actor);
  not_available("Browser trust requests");
}
std::string SetupManager::bundle(const std::string& actor, const Json&) { allowed(actor); not_available("Agent bundles"); }
Json SetupManager::agent_update(const std::string&) { not_available("Agent certificate updates"); }
Json SetupManager::browser_request(const std::string&) { not_available("Browser trust requests"); }
Json SetupManager::agent_report(const std::string&, const Json&) { not_available("Agent certificate reports"); }
Json SetupManager::browser_report(const std::string&, const Json&) { not_available("Browser trust reports"); }
Json SetupManager::plan() { not_available("Installation plans"); }
void SetupManager::write_plan(const Json&) { not_available("Writing the settings file"); }

}  // namespace halvenor
