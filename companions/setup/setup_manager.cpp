#include "companions/setup/setup_manager.h"


#include <cerrno>
#include <charconv>
#include <functional>

#include "base/digest.h"
#include "base/errors.h"
#include "base/text.h"
#include "companions/access/access_manager.h"
#include "companions/setup/agent_bundle.h"
#include "net/private_files.h"
#include "net/tls_context.h"
#include "platform/listen_address.h"
#include "server/core/core.h"
#include "server/core/directory_views.h"

namespace halvenor {
namespace {

namespace fs = std::filesystem;

constexpr double kDay = 86400.0;
constexpr std::size_t kMaxSettingsBytes = 64 * 1024;
constexpr std::size_t kMaxFingerprintLength = 128;
// The local authority's name carries a random suffix so that two
// installations' authorities are never confused in a trust store.
constexpr char kCaNamePrefix[] = "Halvenor Mass Communication Local CA ";
constexpr std::size_t kCaNameSuffixBytes = 4;
constexpr char kPublicCaFile[] = "halvenor-mass-communication-ca.cer";
constexpr char kPendingKeyFile[] = "pending-key.pem";
constexpr char kRequestFile[] = "server.csr";

bool file_exists(const fs::path& path) {
  std::error_code ec;
  return fs::exists(path, ec);
}

setup::X509Ptr load_certificate(const fs::path& path) {
  return setup::cert_load(setup::read_file(path, setup::kMaxPemBytes));
}

setup::EvpKeyPtr load_key(const fs::path& path) {
  return setup::private_key_load(setup::read_file(path, setup::kMaxPemBytes));
}

setup::X509Ptr copy_of(X509* cert) {
  X509_up_ref(cert);
  return setup::X509Ptr(cert);
}

// A listen address in canonical text, IPv4 or IPv6.
std::string canonical_bind(const std::string& text) {
  if (auto canonical = platform::canonical_listen_address(text)) return *canonical;
  throw AccessInvalid("Listen address must be an IPv4 or IPv6 address, such as 0.0.0.0.");
}

int port_of(const Json& value) {
  long long port = 0;
  if (value.is_number_integer()) {
    port = value.get<long long>();
  } else if (value.is_string()) {
    const std::string text = trim(value.get_ref<const std::string&>());
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec != std::errc() || end != text.data() + text.size()) port = 0;
  }
  if (port < 1 || port > 65535) throw AccessInvalid("Port must be between 1 and 65535.");
  return static_cast<int>(port);
}

// Cuts a reported text to `limit` bytes without splitting a UTF-8 sequence.
std::string bounded_text(const Json& value, std::size_t limit) {
  if (!value.is_string()) return {};
  std::string text = value.get<std::string>();
  if (text.size() <= limit) return text;
  std::size_t cut = limit;
  while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return text.substr(0, cut);
}

Json certificate_status(const X509* cert, const X509* local_ca, double now) {
  setup::CertificateInfo info = setup::describe(cert);
  return Json{{"subject", info.subject},
              {"issuer", info.issuer},
              {"names", info.names},
              {"not_before", info.not_before},
              {"not_after", info.not_after},
              {"days_left", static_cast<long long>((info.not_after - now) / kDay)},
              {"valid_now", setup::valid_at(cert, now)},
              {"serial", info.serial_hex},
              {"sha256_fingerprint", info.sha256_fingerprint},
              {"locally_issued", local_ca != nullptr && setup::issued_by(cert, local_ca)}};
}

// A host from one of describe()'s "DNS:x" / "IP:x" entries.
std::optional<setup::HostIdentity> host_of_name(const std::string& name) {
  auto colon = name.find(':');
  if (colon == std::string::npos) return std::nullopt;
  try {
    return setup::identity(name.substr(colon + 1));
  } catch (const Invalid&) {
    return std::nullopt;
  }
}

void merge_into(Json& out, const Json& members) {
  for (auto it = members.begin(); it != members.end(); ++it) out[it.key()] = *it;
}

const Json& device_entry(const Json& doc, const std::string& id) {
  for (const Json& device : member_or(doc, "devices", kEmptyArray))
    if (member_or(device, "id", kNull) == id) return device;
  return kNull;
}

}  // namespace

// --- construction, paths, deployment ---------------------------------------

SetupManager::SetupManager(Core& core, AccessManager* access, std::filesystem::path root, SetupSettings settings,
                           std::filesystem::path data_folder)
    : renewal_check_at(core.clock().monotonic() + kFirstRenewalCheckDelay),
      core_(core),
      access_(access),
      root_(std::move(root)),
      settings_(std::move(settings)),
      data_folder_(fs::absolute(std::move(data_folder)).lexically_normal()) {
  DbScope scope = core_.db();
  scope.begin_immediate();
  create_schema(scope.conn());
  scope.commit();
}

void SetupManager::create_schema(Connection& conn) {
  conn.exec(
      "CREATE TABLE IF NOT EXISTS setup_browser_trust(device_id TEXT PRIMARY KEY, requested_at REAL NOT NULL, "
      "requested_by TEXT NOT NULL, ca_fingerprint TEXT NOT NULL, status TEXT NOT NULL, reported_at REAL, "
      "detail TEXT);"
      "CREATE TABLE IF NOT EXISTS setup_agent_certificates(device_id TEXT PRIMARY KEY, "
      "ca_fingerprint TEXT NOT NULL, status TEXT NOT NULL, detail TEXT, reported_at REAL NOT NULL);"
      "CREATE TABLE IF NOT EXISTS setup_enrolment_codes(id TEXT PRIMARY KEY, code_sha256 TEXT NOT NULL, "
      "site TEXT NOT NULL, department TEXT, live INTEGER NOT NULL, uses INTEGER NOT NULL, "
      "used INTEGER NOT NULL DEFAULT 0, created_at REAL NOT NULL, created_by TEXT NOT NULL, "
      "expires_at REAL NOT NULL, revoked_at REAL, revoked_by TEXT);"
      "CREATE TABLE IF NOT EXISTS setup_agent_versions(device_id TEXT PRIMARY KEY, version TEXT NOT NULL, "
      "reported_at REAL NOT NULL);");
}

fs::path SetupManager::certificate_path() const {
  return settings_.cert ? fs::path(*settings_.cert) : deployment_folder() / "server.cer";
}
fs::path SetupManager::key_path() const {
  return settings_.key ? fs::path(*settings_.key) : deployment_folder() / "server-key.pem";
}
fs::path SetupManager::ca_path() const { return certificate_path().parent_path() / "ca.cer"; }
fs::path SetupManager::ca_key_path() const { return certificate_path().parent_path() / "ca-key.pem"; }

std::string SetupManager::Deployment::public_host() const {
  const bool ipv6 = host.kind == setup::HostIdentity::Ip && host.text.find(':') != std::string::npos;
  return (ipv6 ? "[" + host.text + "]" : host.text) + ":" + std::to_string(port);
}

std::optional<SetupManager::Deployment> SetupManager::load_deployment() const {
  if (!file_exists(saved_settings_path())) return std::nullopt;
  Json saved = json::parse_text(setup::read_file(saved_settings_path(), kMaxSettingsBytes));
  Deployment d;
  d.host = setup::identity(required(saved, "hostname").get<std::string>());
  d.bind = required(saved, "bind").get<std::string>();
  d.port = required(saved, "port").get<int>();
  return d;
}

SetupManager::Deployment SetupManager::require_deployment() const {
  auto d = load_deployment();
  if (!d) throw AccessInvalid("Save the server's host name, listen address and port first.");
  return *d;
}

std::string SetupManager::dashboard_url(const std::optional<Deployment>& deployment) const {
  if (!settings_.url.empty()) return settings_.url;
  return deployment ? "https://" + deployment->public_host() : std::string();
}

setup::X509Ptr SetupManager::trust_anchor() const {
  setup::X509Ptr local = file_exists(ca_path()) ? load_certificate(ca_path()) : nullptr;
  if (!file_exists(certificate_path())) return local;
  auto chain = setup::cert_chain_load(setup::read_file(certificate_path(), setup::kMaxPemBytes));
  if (local && setup::issued_by(chain.front().get(), local.get())) return local;
  return copy_of(chain.back().get());
}

bool SetupManager::served_certificate_names(const setup::HostIdentity& host) const {
  if (!file_exists(certificate_path())) return false;
  return setup::certificate_names(load_certificate(certificate_path()).get(), host);
}

void SetupManager::record(const std::optional<std::string>& actor, const std::string& event,
                          const std::function<Json(Connection&)>& apply) {
  DbScope scope(core_.database());
  scope.begin_immediate();
  Json detail = apply(scope.conn());
  core_.audit(scope.conn(), actor, event, detail);
  scope.commit();
}

const Json& SetupManager::enrolled_device(const Json& doc, const Json& device_id) const {
  if (!device_id.is_string() || device_id.get_ref<const std::string&>().empty())
    throw AccessInvalid("Choose a receiving computer.");
  const Json& device = device_entry(doc, device_id.get<std::string>());
  if (device.is_null()) throw AccessInvalid("Unknown receiving computer.");
  if (ComputerView(device).removed()) throw AccessInvalid("This receiving computer has been removed.");
  if (!member_or(device, "token", kNull).is_string())
    throw AccessInvalid("This receiving computer has no access credential yet; enrol it first.");
  return device;
}

// The settings file of an installed server follows the deployment, so that
// a restart serves the new certificate under the saved name.
void SetupManager::refresh_settings_file(const Deployment& d) {
  if (!file_exists(settings_file_path())) return;
  Json saved = json::parse_text(setup::read_file(settings_file_path(), kMaxSettingsBytes));
  saved["bind"] = d.bind;
  saved["port"] = d.port;
  saved["cert"] = certificate_path().string();
  saved["key"] = key_path().string();
  saved["public_host"] = d.public_host();
  saved["hostname"] = d.host.text;
  setup::private_write(settings_file_path(), json::indented(saved));
}

// --- administration ----------------------------------------------------------

void SetupManager::allowed(const std::string& actor) {
  if (!may_manage_users(core_.config()->doc(), actor)) throw AccessDenied();
}

Json SetupManager::certificate_view() const {
  double now = core_.clock().now();
  setup::X509Ptr ca = file_exists(ca_path()) ? load_certificate(ca_path()) : nullptr;
  Json served = nullptr;
  if (file_exists(certificate_path())) served = certificate_status(load_certificate(certificate_path()).get(), ca.get(), now);
  Json authority = nullptr;
  if (ca) {
    authority = certificate_status(ca.get(), nullptr, now);
    authority.erase("locally_issued");
    authority["key_present"] = file_exists(ca_key_path());
  }
  Json pending = nullptr;
  if (file_exists(deployment_folder() / kRequestFile))
    pending = Json{{"csr", setup::read_file(deployment_folder() / kRequestFile, setup::kMaxPemBytes)}};
  return Json{{"certificate", served}, {"certificate_authority", authority}, {"pending_request", pending}};
}

Json SetupManager::view(const std::string& actor) {
  allowed(actor);
  std::lock_guard lock(mutex_);
  auto d = load_deployment();
  Json out = {{"hostname", d ? Json(d->host.text) : Json(nullptr)},
              {"bind", d ? d->bind : settings_.bind},
              {"port", d ? d->port : settings_.port},
              {"public_host", d ? Json(d->public_host()) : Json(nullptr)},
              {"url", dashboard_url(d)},
              {"running", {{"bind", settings_.bind}, {"port", settings_.port}, {"url", settings_.url},
                           {"tls", settings_.cert.has_value()}}}};
  merge_into(out, certificate_view());
  out["settings_file"] = file_exists(settings_file_path()) ? Json(settings_file_path().string()) : Json(nullptr);
  return out;
}

Json SetupManager::save(const std::string& actor, const Json& request) {
  allowed(actor);
  if (!request.is_object()) throw AccessInvalid("Invalid deployment settings.");
  const Json& hostname = member_or(request, "hostname", kNull);
  if (!hostname.is_string() || trim(hostname.get_ref<const std::string&>()).empty())
    throw AccessInvalid("Enter the host name or IP address that other computers use to reach this server.");
  Deployment d;
  d.host = setup::identity(trim(hostname.get_ref<const std::string&>()));

  std::lock_guard lock(mutex_);
  auto previous = load_deployment();
  const Json& bind = member_or(request, "bind", kNull);
  if (bind.is_null())
    d.bind = previous ? previous->bind : settings_.bind;
  else if (bind.is_string())
    d.bind = canonical_bind(trim(bind.get_ref<const std::string&>()));
  else
    throw AccessInvalid("Listen address must be an IPv4 or IPv6 address, such as 0.0.0.0.");
  const Json& port = member_or(request, "port", kNull);
  d.port = port.is_null() ? (previous ? previous->port : settings_.port) : port_of(port);

  Json saved = {{"hostname", d.host.text}, {"bind", d.bind}, {"port", d.port}};
  record(actor, "setup.settings.saved", [&](Connection&) {
    setup::ensure_private_folder(deployment_folder());
    Json file = saved;
    file["saved_at"] = core_.clock().now();
    file["saved_by"] = actor;
    setup::private_write(saved_settings_path(), json::indented(file));
    return saved;
  });
  Json out = {{"ok", true}};
  merge_into(out, saved);
  out["public_host"] = d.public_host();
  out["url"] = "https://" + d.public_host();
  out["certificate_names_host"] = served_certificate_names(d.host);
  return out;
}

Json SetupManager::issue(const std::string& actor, bool csr) {
  allowed(actor);
  std::lock_guard lock(mutex_);
  Deployment d = require_deployment();
  const double now = core_.clock().now();

  if (csr) {
    setup::EvpKeyPtr key = setup::generate_ec_p256_key();
    std::string request = setup::pem(setup::make_csr(key.get(), d.host).get());
    record(actor, "setup.certificate.requested", [&](Connection&) {
      setup::ensure_private_folder(deployment_folder());
      setup::private_write(deployment_folder() / kPendingKeyFile, setup::private_key_pem(key.get()));
      setup::private_write(deployment_folder() / kRequestFile, request);
      return Json{{"hostname", d.host.text}};
    });
    return Json{{"ok", true},
                {"hostname", d.host.text},
                {"csr", request},
                {"file", (deployment_folder() / kRequestFile).string()}};
  }

  // The authority is kept across issues so that trust installed on
  // receiving computers and dashboard PCs stays valid.
  setup::X509Ptr ca;
  setup::EvpKeyPtr ca_key;
  if (file_exists(ca_path()) && file_exists(ca_key_path())) {
    ca = load_certificate(ca_path());
    ca_key = load_key(ca_key_path());
    if (!setup::key_matches(ca.get(), ca_key.get()) || !setup::valid_at(ca.get(), now)) {
      ca.reset();
      ca_key.reset();
    }
  }
  const bool new_ca = !ca;
  if (new_ca) {
    unsigned char suffix[kCaNameSuffixBytes];
    core_.random().fill(suffix, sizeof suffix);
    ca_key = setup::generate_ec_p256_key();
    ca = setup::make_ca(ca_key.get(), kCaNamePrefix + hex_lower(std::string_view(reinterpret_cast<char*>(suffix),
                                                                                   sizeof suffix)),
                        now);
  }
  setup::EvpKeyPtr server_key = setup::generate_ec_p256_key();
  setup::X509Ptr cert = setup::issue_server_certificate(ca.get(), ca_key.get(), server_key.get(), d.host, now);
  const bool same_name = served_certificate_names(d.host);
  setup::CertificateInfo info = setup::describe(cert.get());

  record(actor, "setup.certificate.issued", [&](Connection&) {
    setup::ensure_private_folder(deployment_folder());
    if (new_ca) {
      setup::private_write(ca_key_path(), setup::private_key_pem(ca_key.get()));
      setup::private_write(ca_path(), setup::pem(ca.get()));
    }
    setup::private_write(key_path(), setup::private_key_pem(server_key.get()));
    setup::private_write(certificate_path(), setup::pem(cert.get()));
    refresh_settings_file(d);
    return Json{{"hostname", d.host.text},
                {"serial", info.serial_hex},
                {"not_after", info.not_after},
                {"sha256_fingerprint", info.sha256_fingerprint},
                {"new_certificate_authority", new_ca},
                {"ca_sha256_fingerprint", setup::sha256_fingerprint(ca.get())}};
  });
  if (same_name && settings_.cert) {
    reload_pending_ = true;
    renewal_check_at = 0;
  }
  Json out = {{"ok", true}, {"restart_required", !(same_name && settings_.cert)}};
  merge_into(out, certificate_view());
  return out;
}

Json SetupManager::import_certificate(const std::string& actor, const Json& request) {
  allowed(actor);
  const Json& chain = member_or(request, "certificate", kNull);
  if (!chain.is_string() || trim(chain.get_ref<const std::string&>()).empty())
    throw AccessInvalid("Paste the certificate chain that IT issued (PEM text).");
  if (chain.get_ref<const std::string&>().size() > setup::kMaxPemBytes)
    throw AccessInvalid("The certificate chain is too large.");
  std::lock_guard lock(mutex_);
  Deployment d = require_deployment();
  const fs::path pending_path = deployment_folder() / kPendingKeyFile;
  if (!file_exists(pending_path))
    throw AccessInvalid("Create a certificate signing request first; IT must issue the certificate for it.");
  setup::EvpKeyPtr pending = load_key(pending_path);
  const double now = core_.clock().now();
  setup::check_imported_chain(chain.get_ref<const std::string&>(), pending.get(), d.host, now);

  // Stored re-encoded, so nothing but the certificates themselves is kept.
  std::string served;
  for (const auto& cert : setup::cert_chain_load(chain.get_ref<const std::string&>())) served += setup::pem(cert.get());
  setup::X509Ptr leaf = setup::cert_load(served);
  setup::CertificateInfo info = setup::describe(leaf.get());
  const bool same_name = served_certificate_names(d.host);

  record(actor, "setup.certificate.imported", [&](Connection&) {
    setup::private_write(key_path(), setup::private_key_pem(pending.get()));
    setup::private_write(certificate_path(), served);
    std::error_code ec;
    fs::remove(pending_path, ec);
    fs::remove(deployment_folder() / kRequestFile, ec);
    refresh_settings_file(d);
    return Json{{"hostname", d.host.text},
                {"issuer", info.issuer},
                {"serial", info.serial_hex},
                {"not_after", info.not_after},
                {"sha256_fingerprint", info.sha256_fingerprint}};
  });
  if (same_name && settings_.cert) {
    reload_pending_ = true;
    renewal_check_at = 0;
  }
  Json out = {{"ok", true}, {"restart_required", !(same_name && settings_.cert)}};
  merge_into(out, certificate_view());
  return out;
}

bool SetupManager::renew_local_certificate(http::TlsContext* context) {
  std::lock_guard lock(mutex_);
  if (context && reload_pending_.exchange(false)) context->reload(certificate_path().string(), key_path().string());
  if (!file_exists(certificate_path()) || !file_exists(ca_path()) || !file_exists(ca_key_path())) return false;

  setup::X509Ptr served = load_certificate(certificate_path());
  setup::X509Ptr ca = load_certificate(ca_path());
  if (!setup::issued_by(served.get(), ca.get())) return false;  // IT's certificate: theirs to renew
  const double now = core_.clock().now();
  if (setup::not_after(served.get()) - now > kRenewBeforeExpiryDays * kDay) return false;

  setup::EvpKeyPtr ca_key = load_key(ca_key_path());
  if (!setup::key_matches(ca.get(), ca_key.get())) return false;
  if (!setup::valid_at(ca.get(), now))
    throw std::runtime_error("the local certificate authority has expired; issue a new certificate from Administration");

  // Renewed under the name it already carries, so clients keep connecting.
  setup::CertificateInfo old_info = setup::describe(served.get());
  std::optional<setup::HostIdentity> host;
  for (const std::string& name : old_info.names)
    if ((host = host_of_name(name))) break;
  if (!host) return false;

  setup::EvpKeyPtr key = setup::generate_ec_p256_key();
  setup::X509Ptr renewed = setup::issue_server_certificate(ca.get(), ca_key.get(), key.get(), *host, now);
  setup::CertificateInfo info = setup::describe(renewed.get());
  record(std::nullopt, "setup.certificate.renewed", [&](Connection&) {
    setup::private_write(key_path(), setup::private_key_pem(key.get()));
    setup::private_write(certificate_path(), setup::pem(renewed.get()));
    return Json{{"hostname", host->text},
                {"previous_serial", old_info.serial_hex},
                {"serial", info.serial_hex},
                {"not_after", info.not_after},
                {"sha256_fingerprint", info.sha256_fingerprint}};
  });
  if (context) context->reload(certificate_path().string(), key_path().string());
  return true;
}

Json SetupManager::distribute(const std::string& actor) {
  allowed(actor);
  std::lock_guard lock(mutex_);
  if (!file_exists(ca_path())) throw AccessInvalid("Issue the server certificate first; it creates the certificate authority.");
  setup::X509Ptr ca = load_certificate(ca_path());
  setup::X509Ptr anchor = trust_anchor();
  const std::string ca_fingerprint = setup::sha256_fingerprint(ca.get());
  const std::string anchor_fingerprint = setup::sha256_fingerprint(anchor.get());
  const fs::path public_copy = data_folder_ / kPublicCaFile;

  Json agents = Json::array();
  Json browsers = Json::array();
  record(actor, "setup.certificate_authority.distributed", [&](Connection& conn) {
    setup::private_write(public_copy, setup::der(ca.get()));
    for (const Json& row : conn.query(
             "SELECT device_id, ca_fingerprint, status, reported_at FROM setup_agent_certificates ORDER BY device_id"))
      agents.push_back({{"device", row["device_id"]},
                        {"status", row["status"]},
                        {"ca_sha256_fingerprint", row["ca_fingerprint"]},
                        {"current", row["ca_fingerprint"] == anchor_fingerprint},
                        {"reported_at", row["reported_at"]}});
    for (const Json& row : conn.query("SELECT device_id, status, requested_at, reported_at FROM setup_browser_trust "
                                      "ORDER BY device_id"))
      browsers.push_back({{"device", row["device_id"]},
                          {"status", row["status"]},
                          {"requested_at", row["requested_at"]},
                          {"reported_at", row["reported_at"]}});
    return Json{{"ca_sha256_fingerprint", ca_fingerprint}, {"file", public_copy.string()}};
  });
  Json server = nullptr;
  if (file_exists(certificate_path())) {
    setup::X509Ptr served = load_certificate(certificate_path());
    server = {{"sha256_fingerprint", setup::sha256_fingerprint(served.get())},
              {"names", setup::describe(served.get()).names},
              {"locally_issued", setup::issued_by(served.get(), ca.get())}};
  }
  return Json{{"certificate_authority",
               {{"subject", setup::describe(ca.get()).subject},
                {"sha256_fingerprint", ca_fingerprint},
                {"not_after", setup::not_after(ca.get())}}},
              {"agent_trust_sha256_fingerprint", anchor_fingerprint},
              {"server_certificate", server},
              {"dashboard_url", dashboard_url(load_deployment())},
              {"downloads",
               Json::array({{{"what", "Certificate authority for dashboard PCs (DER)"},
                             {"action", "ca"},
                             {"file_name", kPublicCaFile}},
                            {{"what", "Certificate authority for dashboard PCs (PEM)"},
                             {"action", "ca_pem"},
                             {"file_name", "halvenor-mass-communication-ca.pem"}},
                            {{"what", "Agent installation bundle, one per receiving computer"},
                             {"action", "bundle"},
                             {"file_name", "<computer id>-agent.zip"}},
                            {{"what", "Rollout file with a new enrolment code, for many receiving computers"},
                             {"action", "enrolment_code"},
                             {"file_name", "agent-rollout.json"}},
                            {{"what", "Agent package (Debian)"},
                             {"action", "agent_package"},
                             {"file_name", "halvenor-agent_<version>_<architecture>.deb"}}})},
              {"files", {{"certificate_authority_der", public_copy.string()}}},
              {"agents", agents},
              {"browser_trust", browsers}};
}

std::string SetupManager::public_ca(const std::string& actor) {
  allowed(actor);
  if (!file_exists(ca_path())) throw AccessInvalid("No local certificate authority has been issued.");
  return setup::der(load_certificate(ca_path()).get());
}

std::string SetupManager::public_ca_pem(const std::string& actor) {
  allowed(actor);
  if (!file_exists(ca_path())) throw AccessInvalid("No local certificate authority has been issued.");
  return setup::pem(load_certificate(ca_path()).get());
}

Json SetupManager::request_browser_trust(const std::string& actor, const Json& device_id) {
  allowed(actor);
  ConfigPtr cfg = core_.config();
  const Json& device = enrolled_device(cfg->doc(), device_id);
  const std::string id = device["id"].get<std::string>();
  std::lock_guard lock(mutex_);
  setup::X509Ptr anchor = trust_anchor();
  if (!anchor) throw AccessInvalid("Issue the server certificate first; it creates the certificate authority.");
  const std::string fingerprint = setup::sha256_fingerprint(anchor.get());
  const double now = core_.clock().now();
  record(actor, "setup.browser_trust.requested", [&](Connection& conn) {
    conn.execute(
        "INSERT INTO setup_browser_trust(device_id, requested_at, requested_by, ca_fingerprint, status) "
        "VALUES(?,?,?,?,'pending') ON CONFLICT(device_id) DO UPDATE SET requested_at=excluded.requested_at, "
        "requested_by=excluded.requested_by, ca_fingerprint=excluded.ca_fingerprint, status='pending', "
        "reported_at=NULL, detail=NULL",
        {id, now, actor, fingerprint});
    return Json{{"device", id}, {"ca_sha256_fingerprint", fingerprint}};
  });
  return Json{{"ok", true}, {"device", id}, {"status", "pending"}, {"ca_sha256_fingerprint", fingerprint}};
}

std::string SetupManager::bundle(const std::string& actor, const Json& device_id) {
  allowed(actor);
  ConfigPtr cfg = core_.config();
  const Json& device = enrolled_device(cfg->doc(), device_id);
  std::lock_guard lock(mutex_);
  setup::X509Ptr anchor = trust_anchor();
  if (!anchor) throw AccessInvalid("Issue the server certificate first; the bundle carries its authority.");
  setup::AgentBundle b;
  b.device_id = device["id"].get<std::string>();
  const Json& name = member_or(device, "display_name", kNull);
  b.display_name = name.is_string() ? name.get<std::string>() : std::string();
  b.server_url = dashboard_url(load_deployment());
  if (b.server_url.empty()) throw AccessInvalid("Save the server's host name, listen address and port first.");
  b.token = device["token"].get<std::string>();
  b.ca_pem = setup::pem(anchor.get());
  b.ca_fingerprint = setup::sha256_fingerprint(anchor.get());
  std::string zip = setup::agent_bundle_zip(b, core_.clock().now());
  record(actor, "setup.bundle.created", [&](Connection&) {
    return Json{{"device", b.device_id}, {"server_url", b.server_url}, {"ca_sha256_fingerprint", b.ca_fingerprint}};
  });
  return zip;
}

// --- agent side ---------------------------------------------------------------

Json SetupManager::agent_update(const std::string& device) {
  setup::X509Ptr anchor;
  {
    std::lock_guard lock(mutex_);
    anchor = trust_anchor();
  }
  if (!anchor) throw AccessInvalid("This server has no certificate authority yet.");
  const std::string fingerprint = setup::sha256_fingerprint(anchor.get());
  DbScope scope(core_.database());
  auto row = scope->query_one("SELECT ca_fingerprint, status FROM setup_agent_certificates WHERE device_id=?",
                              {device});
  const bool installed = row && (*row)["status"] == "installed" && (*row)["ca_fingerprint"] == fingerprint;
  return Json{{"action", installed ? "none" : "install"},
              {"ca_certificate", setup::pem(anchor.get())},
              {"ca_sha256_fingerprint", fingerprint},
              {"installed", installed}};
}

Json SetupManager::agent_report(const std::string& device, const Json& report) {
  if (!report.is_object()) throw AccessInvalid("Invalid certificate report.");
  const Json& status = member_or(report, "status", kNull);
  if (status != "installed" && status != "failed")
    throw AccessInvalid("Certificate report status must be \"installed\" or \"failed\".");
  const Json& fingerprint = member_or(report, "ca_sha256_fingerprint", kNull);
  if (!fingerprint.is_string() || fingerprint.get_ref<const std::string&>().size() > kMaxFingerprintLength)
    throw AccessInvalid("Certificate report must name the authority's SHA-256 fingerprint.");
  const std::string detail = bounded_text(member_or(report, "detail", kNull), kMaxReportDetail);
  setup::X509Ptr anchor;
  {
    std::lock_guard lock(mutex_);
    anchor = trust_anchor();
  }
  const bool current = anchor && fingerprint == setup::sha256_fingerprint(anchor.get());
  const double now = core_.clock().now();
  record(device, "setup.agent_certificate.reported", [&](Connection& conn) {
    conn.execute(
        "INSERT INTO setup_agent_certificates(device_id, ca_fingerprint, status, detail, reported_at) "
        "VALUES(?,?,?,?,?) ON CONFLICT(device_id) DO UPDATE SET ca_fingerprint=excluded.ca_fingerprint, "
        "status=excluded.status, detail=excluded.detail, reported_at=excluded.reported_at",
        {device, fingerprint, status, detail, now});
    return Json{{"status", status}, {"ca_sha256_fingerprint", fingerprint}, {"current", current}};
  });
  return Json{{"ok", true}, {"current", current}};
}

Json SetupManager::browser_request(const std::string& device) {
  DbScope scope(core_.database());
  auto row = scope->query_one("SELECT requested_at, status FROM setup_browser_trust WHERE device_id=?", {device});
  if (!row || (*row)["status"] != "pending") return Json{{"action", "none"}};
  setup::X509Ptr anchor;
  {
    std::lock_guard lock(mutex_);
    anchor = trust_anchor();
  }
  if (!anchor) return Json{{"action", "none"}};
  return Json{{"action", "install"},
              {"ca_certificate", setup::pem(anchor.get())},
              {"ca_sha256_fingerprint", setup::sha256_fingerprint(anchor.get())},
              {"requested_at", (*row)["requested_at"]}};
}

Json SetupManager::browser_report(const std::string& device, const Json& report) {
  if (!report.is_object()) throw AccessInvalid("Invalid browser trust report.");
  const Json& status = member_or(report, "status", kNull);
  if (status != "installed" && status != "failed" && status != "declined")
    throw AccessInvalid("Browser trust report status must be \"installed\", \"failed\" or \"declined\".");
  const std::string detail = bounded_text(member_or(report, "detail", kNull), kMaxReportDetail);
  const double now = core_.clock().now();
  record(device, "setup.browser_trust.reported", [&](Connection& conn) {
    auto row = conn.query_one("SELECT status FROM setup_browser_trust WHERE device_id=?", {device});
    if (!row) throw AccessInvalid("No browser trust request is waiting for this computer.");
    conn.execute("UPDATE setup_browser_trust SET status=?, detail=?, reported_at=? WHERE device_id=?",
                 {status, detail, now, device});
    return Json{{"status", status}};
  });
  return Json{{"ok", true}, {"status", status}};
}

// --- the settings file ------------------------------------------------------

Json SetupManager::plan() {
  std::lock_guard lock(mutex_);
  Deployment d = require_deployment();
  AccessManager* access = access_;
  fs::path config = access ? fs::path(access->config_path()) : data_folder_ / "config.json";
  auto absolute = [](const fs::path& p) { return fs::absolute(p).lexically_normal().string(); };
  return Json{{"bind", d.bind},
              {"port", d.port},
              {"config", absolute(config)},
              {"db", absolute(core_.database_path())},
              {"cert", absolute(certificate_path())},
              {"key", absolute(key_path())},
              {"public_host", d.public_host()},
              {"hostname", d.host.text},
              {"url", dashboard_url(d)}};
}

void SetupManager::write_plan(const Json& plan) {
  if (!plan.is_object()) throw AccessInvalid("Invalid settings plan.");
  Json file = Json::object();
  for (const char* key : {"bind", "config", "db", "cert", "key", "public_host", "hostname"}) {
    const Json& value = member_or(plan, key, kNull);
    if (!value.is_string() || value.get_ref<const std::string&>().empty())
      throw AccessInvalid(std::string("The settings plan lacks \"") + key + "\".");
  }
  setup::identity(plan["hostname"].get<std::string>());
  file["bind"] = canonical_bind(plan["bind"].get<std::string>());
  file["port"] = port_of(member_or(plan, "port", kNull));
  for (const char* key : {"config", "db", "cert", "key", "public_host", "hostname"}) file[key] = plan[key];
  if (plan.contains("url")) file["url"] = plan["url"];

  std::lock_guard lock(mutex_);
  record(std::nullopt, "setup.settings_file.written", [&](Connection&) {
    setup::ensure_private_folder(deployment_folder());
    setup::private_write(settings_file_path(), json::indented(file));
    return Json{{"file", settings_file_path().string()}, {"public_host", file["public_host"]}};
  });
}

}  // namespace halvenor
