#include "app/startup.h"

#include <csignal>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "app/command_line.h"
#include "app/service_parts.h"
#include "base/errors.h"
#include "base/release.h"
#include "companions/drills/drill_schedule.h"
#include "companions/mobile/delivery_queue.h"
#include "companions/mobile/mobile_acknowledgements.h"
#include "companions/setup/setup_manager.h"
#include "net/certificates.h"
#include "net/private_files.h"
#include "platform/listen_address.h"
#include "platform/program_folder.h"
#include "server/core/audit_chain.h"
#include "server/core/core.h"
#include "server/core/escalation.h"
#include "server/http/exclusive_http_server.h"
#include "server/http/handler.h"
#include "server/http/rate_limited_report.h"

namespace halvenor {
namespace {

constexpr std::size_t kMaxConfigBytes = 16 * 1024 * 1024;
constexpr std::size_t kMaxCertificateBytes = 1024 * 1024;

std::atomic<bool> g_stop{false};

extern "C" void request_stop(int) { g_stop.store(true); }

void check_saved_certificate(const ServerOptions& options, double now) {
  auto cert = setup::cert_load(setup::read_file(options.cert, kMaxCertificateBytes));
  setup::HostIdentity host = setup::identity(options.hostname);
  if (!setup::certificate_names(cert.get(), host))
    throw UsageError("Saved hostname does not match the staged certificate. Stage a certificate for the saved hostname first.");
  if (!setup::valid_at(cert.get(), now)) throw UsageError("Saved certificate is expired or not yet valid");
}

int verify_audit(const std::string& db_path) {
  if (!std::filesystem::exists(db_path)) {
    std::cerr << "server: error: no database at " << db_path << "\n";
    return 1;
  }
  Connection conn(db_path);
  ChainVerdict verdict = verify_audit_chain(conn);
  if (verdict.intact) {
    std::cout << "Audit chain intact: " << verdict.rows << " rows; last hash "
              << (verdict.last_hash.empty() ? "(none)" : verdict.last_hash) << std::endl;
    return 0;
  }
  std::cout << "Audit chain broken at seq " << *verdict.broken_seq << ": " << verdict.reason << std::endl;
  return 1;
}

int backup(const std::string& db_path, const std::string& target) {
  Connection source(db_path);
  std::error_code ec;
  std::filesystem::remove(target, ec);
  Connection destination(target);
  // The online backup API copies a consistent snapshot while writers go on;
  // steps are small so a busy service is never blocked for long.
  sqlite3_backup* backup = sqlite3_backup_init(destination.handle(), "main", source.handle(), "main");
  if (!backup) throw DatabaseError(sqlite3_errmsg(destination.handle()), sqlite3_errcode(destination.handle()));
  int rc;
  while ((rc = sqlite3_backup_step(backup, 256)) == SQLITE_OK || rc == SQLITE_BUSY || rc == SQLITE_LOCKED)
    sqlite3_sleep(5);
  sqlite3_backup_finish(backup);
  if (rc != SQLITE_DONE) throw DatabaseError("backup failed: " + std::string(sqlite3_errstr(rc)), rc);
  std::filesystem::permissions(target, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write,
                               std::filesystem::perm_options::replace, ec);
  std::cout << "Backup written to " << target << std::endl;
  return 0;
}

Json read_configuration(const std::string& path) {
  std::string text = setup::read_file(path, kMaxConfigBytes);
  try {
    return json::parse_text(text);
  } catch (const RequestError& e) {
    throw std::runtime_error("configuration file " + path + " is not valid JSON: " + e.what());
  }
}

int serve(ServerOptions& options, const std::filesystem::path& root) {
  Json config = read_configuration(options.config);
  ServiceParts parts(std::move(config), options.db, options.config);
  Core& core = parts.core();

  http::ServerLimits limits;
  limits.max_connections_per_address = options.max_connections_per_address;
  http::ExclusiveHTTPServer server(options.bind, options.port, limits);
  ServiceContext service;
  parts.expose_to(service);
  service.root = root;
  service.port = server.port();
  service.scheme = options.cert.empty() ? "http" : "https";
  std::string port_text = std::to_string(server.port());
  if (!options.public_host.empty())
    service.allowed_hosts = {options.public_host};
  else
    service.allowed_hosts = {platform::host_with_port(options.bind, server.port()), "localhost:" + port_text};

  if (!options.cert.empty()) server.enable_tls(http::TlsContext::from_files(options.cert, options.key));

  SetupSettings settings;
  settings.bind = options.bind;
  settings.port = server.port();
  std::string host =
      options.public_host.empty() ? platform::host_with_port(options.bind, server.port()) : options.public_host;
  settings.url = service.scheme + "://" + host;
  if (!options.cert.empty()) {
    settings.cert = std::filesystem::absolute(options.cert).string();
    settings.key = std::filesystem::absolute(options.key).string();
  }
  SetupManager setup(core, parts.access(), root, settings, std::filesystem::absolute(options.config).parent_path());
  service.setup = &setup;
  parts.acknowledgements().set_public_base(service.scheme + "://" + host);

  http::Handler handler(service);
  server.set_handler([&handler](const http::HttpRequest& request) { return handler.handle(request); });
  server.set_server_version(std::string("Halvenor/") + VERSION);
  http::RateLimitedReport report_escalation_failure;
  http::RateLimitedReport report_heartbeat_failure;
  server.set_service_action([&] {
    try {
      core.flush_heartbeats();
    } catch (const std::exception& e) {  // kept in memory and written at the next try
      report_heartbeat_failure(std::string("writing agent heartbeats failed: ") + e.what());
    }
    try {
      run_due_escalations(core);
      run_due_drills(core);
    } catch (const std::exception& e) {  // the database is busy or failing: tried again shortly
      report_escalation_failure(std::string("escalation or scheduled drill check failed: ") + e.what());
    }
    if (core.clock().monotonic() < setup.renewal_check_at) return;
    // Scheduled before the renewal runs, so a failing renewal retries hourly, not continuously.
    setup.renewal_check_at = core.clock().monotonic() + kRenewalCheckInterval;
    try {
      setup.renew_local_certificate(server.tls_context().get());
    } catch (const std::exception& e) {
      std::cerr << "server: certificate renewal failed: " << e.what() << std::endl;
    }
  });

  // The console lines tell a supervisor the service is up; a stop request
  // from then on must end it normally, never through the default action.
  std::signal(SIGINT, request_stop);
  std::signal(SIGTERM, request_stop);
  std::string mode = !core.live_enabled()                       ? "EXERCISE ONLY"
                     : core.deployment_scope() == "home_lab" ? "DEMONSTRATION MODE - INCIDENT DISPLAYS"
                                                              : "LIVE DESKTOP ENABLED";
  const Json& provider = member_or(core.config()->doc(), "provider", kNull);
  std::cout << "Halvenor Mass Communication v" << VERSION << " " << mode << ": " << service.scheme << "://" << host
            << " | SMS/WhatsApp transport: " << (provider.is_string() ? provider.get<std::string>() : json::field_text(provider))
            << " | Ctrl+C to stop" << std::endl;
  std::cout << "Source: " << platform::program_file().string() << std::endl;
  std::cout << "Mobile queue: "
            << (options.pause_mobile_queue
                    ? "PAUSED"
                    : "configured providers and isolated legacy exercise mocks; unavailable channels stay disabled")
            << std::endl;

  parts.queue().start(options.pause_mobile_queue);
  try {
    server.serve_until(g_stop);
  } catch (...) {
    parts.queue().stop();
    server.close();
    throw;
  }
  parts.queue().stop();
  server.close();
  return 0;
}

}  // namespace

int server_main(int argc, char** argv) {
  const std::filesystem::path root = platform::program_folder();
  ServerOptions options;
  try {
    options = parse_command_line(argc, argv, root.string());
    if (options.help) {
      std::cout << help_text();
      return 0;
    }
    if (options.verify_audit) return verify_audit(options.db);
    if (!options.backup_to.empty()) return backup(options.db, options.backup_to);
    if (!options.settings.empty()) {
      apply_settings_file(options);
      check_saved_certificate(options, system_clock()->now());
    }
    if (!platform::is_loopback_listen_address(options.bind) && (options.cert.empty() || options.key.empty() || options.public_host.empty()))
      throw UsageError("Network binding requires --cert, --key and --public-host; test mode remains enforced");
    if (options.cert.empty() != options.key.empty()) throw UsageError("--cert and --key must be supplied together");
  } catch (const UsageError& e) {
    std::cerr << kUsageLine << "\nserver: error: " << e.what() << std::endl;
    return 2;
  } catch (const std::exception& e) {
    std::cerr << "server: error: " << e.what() << std::endl;
    return 1;
  }
  try {
    return serve(options, root);
  } catch (const std::exception& e) {
    std::cerr << "server: error: " << e.what() << std::endl;
    return 1;
  }
}

}  // namespace halvenor
