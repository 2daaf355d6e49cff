#include "companions/setup/setup_manager.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <cstdio>
#include <ctime>
#include <thread>

#include "app/command_line.h"
#include "base/errors.h"
#include "companions/setup/agent_bundle.h"
#include "net/private_files.h"
#include "net/tls_context.h"
#include "server/http/exclusive_http_server.h"
#include "tests/companions/companion_test_support.h"
#include "tests/support/shell_command.h"

namespace halvenor {
namespace {

namespace fs = std::filesystem;
using testing_support::Installation;

constexpr double kDay = 86400;
constexpr char kHost[] = "alerts.hospital.example";
constexpr int kClientGuardSeconds = 20;

double unix_now() { return static_cast<double>(std::time(nullptr)); }

using test_support::run_shell;

unsigned mode_of(const fs::path& path) {
  struct stat info {};
  stat(path.c_str(), &info);
  return info.st_mode & 0777;
}

std::string read(const fs::path& path) { return setup::read_file(path, setup::kMaxPemBytes); }

template <typename Error, typename F>
std::string refusal(F f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "<accepted>";
}

// An installation (at the real time, so the openssl command agrees on
// validity) with saved deployment settings.
class SetupManagerTest : public ::testing::Test {
 protected:
  SetupManagerTest() : home_(testing_support::base_config(), unix_now()) {}

  std::unique_ptr<SetupManager> manager(SetupSettings settings = {}) {
    return std::make_unique<SetupManager>(home_.core(), home_.parts().access(), home_.folder(), settings, home_.data());
  }
  fs::path deployment() const { return home_.data() / "deployment"; }

  Installation home_;
};

TEST_F(SetupManagerTest, IssuesALocalAuthorityAndServerCertificateThatVerify) {
  auto setup = manager();
  Json saved = setup->save("admin", {{"hostname", " Alerts.Hospital.Example. "}, {"bind", "0.0.0.0"}, {"port", "8443"}});
  EXPECT_EQ(saved["hostname"], kHost);
  EXPECT_EQ(saved["port"], 8443);
  EXPECT_EQ(saved["public_host"], "alerts.hospital.example:8443");
  EXPECT_EQ(mode_of(setup->saved_settings_path()), 0600u);

  setup->issue("admin");
  EXPECT_EQ(setup->ca_path(), deployment() / "ca.cer");
  EXPECT_EQ(mode_of(deployment()), 0700u);
  EXPECT_EQ(mode_of(setup->key_path()), 0600u);
  EXPECT_EQ(mode_of(setup->ca_key_path()), 0600u);

  std::string out;
  EXPECT_EQ(run_shell(deployment(), "openssl verify -CAfile ca.cer -purpose sslserver -verify_hostname alerts.hospital.example "
                              "server.cer", &out), 0) << out;
  EXPECT_NE(run_shell(deployment(), "openssl verify -CAfile ca.cer -verify_hostname intranet.hospital.example server.cer",
                &out), 0) << out;

  setup::X509Ptr ca = setup::cert_load(read(setup->ca_path()));
  setup::X509Ptr cert = setup::cert_load(read(setup->certificate_path()));
  EVP_PKEY* ca_key = X509_get0_pubkey(ca.get());
  char group[64] = "";
  ASSERT_EQ(EVP_PKEY_get_base_id(ca_key), EVP_PKEY_EC);
  EVP_PKEY_get_utf8_string_param(ca_key, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group, nullptr);
  EXPECT_STREQ(group, "prime256v1");
  EXPECT_LE(setup::not_after(cert.get()) - setup::not_before(cert.get()),
            setup::kMaxServerCertificateDays * kDay + setup::kClockSkewSeconds);
  EXPECT_GT(setup::not_after(ca.get()) - setup::not_after(cert.get()), 5 * 365 * kDay);
  EXPECT_TRUE(setup::key_matches(cert.get(), setup::private_key_load(read(setup->key_path())).get()));

  Json view = setup->view("admin");
  EXPECT_EQ(view["hostname"], kHost);
  EXPECT_EQ(view["certificate"]["names"], Json::array({"DNS:alerts.hospital.example"}));
  EXPECT_EQ(view["certificate"]["locally_issued"], true);
  EXPECT_GE(view["certificate"]["days_left"].get<int>(), 396);
  EXPECT_EQ(view.dump().find("PRIVATE KEY"), std::string::npos);

  // The authority is kept; only the server certificate is new.
  const std::string ca_before = read(setup->ca_path());
  const std::string cert_before = read(setup->certificate_path());
  setup->issue("admin");
  EXPECT_EQ(read(setup->ca_path()), ca_before);
  EXPECT_NE(read(setup->certificate_path()), cert_before);

  auto events = home_.audit_events();
  EXPECT_EQ(std::count(events.begin(), events.end(), "setup.certificate.issued"), 2);
  EXPECT_EQ(std::count(events.begin(), events.end(), "setup.settings.saved"), 1);
}

TEST_F(SetupManagerTest, OnlyExactlyTrueDirectoryManagersAdminister) {
  auto setup = manager();
  EXPECT_NO_THROW(setup->allowed("admin"));
  for (const char* actor : {"operator", "ward-pc-7", "nobody", ""}) {
    EXPECT_THROW(setup->allowed(actor), AccessDenied) << actor;
    EXPECT_THROW(setup->view(actor), AccessDenied) << actor;
    EXPECT_THROW(setup->save(actor, {{"hostname", kHost}}), AccessDenied) << actor;
    EXPECT_THROW(setup->bundle(actor, "ward-pc-7"), AccessDenied) << actor;
  }
  Json config = home_.core().config()->doc();
  config["users"][0]["enabled"] = false;
  home_.core().replace_config(config);
  EXPECT_THROW(setup->allowed("admin"), AccessDenied);
  EXPECT_FALSE(fs::exists(setup->saved_settings_path()));
}

TEST_F(SetupManagerTest, RefusesBadSettingsAndOutOfOrderSteps) {
  auto setup = manager();
  EXPECT_NE(refusal<AccessInvalid>([&] { setup->issue("admin"); }).find("Save the server"), std::string::npos);
  EXPECT_NE(refusal<Invalid>([&] { setup->save("admin", {{"hostname", "alerts:8443"}}); }), "<accepted>");
  EXPECT_NE(refusal<AccessInvalid>([&] { setup->save("admin", {{"hostname", kHost}, {"port", 0}}); }), "<accepted>");
  EXPECT_NE(refusal<AccessInvalid>([&] { setup->save("admin", {{"hostname", kHost}, {"port", "84x"}}); }),
            "<accepted>");
  EXPECT_NE(refusal<AccessInvalid>([&] { setup->save("admin", {{"hostname", kHost}, {"bind", "localhost"}}); }),
            "<accepted>");
  EXPECT_FALSE(fs::exists(setup->saved_settings_path()));
  setup->save("admin", {{"hostname", kHost}});
  EXPECT_NE(refusal<AccessInvalid>([&] { setup->import_certificate("admin", {{"certificate", "x"}}); })
                .find("signing request first"),
            std::string::npos);
  EXPECT_NE(refusal<AccessInvalid>([&] { setup->public_ca("admin"); }), "<accepted>");
}

TEST_F(SetupManagerTest, ImportsOnlyAnItChainForThePendingKeyAndSavedHost) {
  auto setup = manager();
  setup->save("admin", {{"hostname", kHost}, {"bind", "0.0.0.0"}, {"port", 8443}});
  const std::string csr = setup->issue("admin", true)["csr"];
  EXPECT_EQ(mode_of(deployment() / "pending-key.pem"), 0600u);

  setup::BioPtr bio(BIO_new_mem_buf(csr.data(), static_cast<int>(csr.size())));
  setup::X509ReqPtr request(PEM_read_bio_X509_REQ(bio.get(), nullptr, nullptr, nullptr));
  ASSERT_TRUE(request);
  EVP_PKEY* requested = X509_REQ_get0_pubkey(request.get());
  const double now = home_.clock().now();
  setup::EvpKeyPtr it_key = setup::generate_ec_p256_key();
  setup::X509Ptr it_ca = setup::make_ca(it_key.get(), "Hospital IT Issuing CA", now);
  auto chain = [&](EVP_PKEY* key, const char* host) {
    auto cert = setup::issue_server_certificate(it_ca.get(), it_key.get(), key, setup::identity(host), now);
    return Json{{"certificate", setup::pem(cert.get()) + setup::pem(it_ca.get())}};
  };
  setup::EvpKeyPtr other_key = setup::generate_ec_p256_key();
  EXPECT_NE(refusal<Invalid>([&] { setup->import_certificate("admin", chain(requested, "intranet.hospital.example")); }),
            "<accepted>");
  EXPECT_NE(refusal<Invalid>([&] { setup->import_certificate("admin", chain(other_key.get(), kHost)); }), "<accepted>");
  EXPECT_FALSE(fs::exists(setup->certificate_path()));

  Json imported = setup->import_certificate("admin", chain(requested, kHost));
  EXPECT_EQ(imported["certificate"]["locally_issued"], false);
  EXPECT_EQ(setup::cert_chain_load(read(setup->certificate_path())).size(), 2u);
  EXPECT_TRUE(setup::key_matches(setup::cert_load(read(setup->certificate_path())).get(),
                                 setup::private_key_load(read(setup->key_path())).get()));
  EXPECT_EQ(mode_of(setup->key_path()), 0600u);
  EXPECT_FALSE(fs::exists(deployment() / "pending-key.pem"));
  EXPECT_NE(home_.audit_text().find("setup.certificate.imported"), std::string::npos);

  // IT renews its own certificates: even near expiry nothing is replaced.
  const std::string served = read(setup->certificate_path());
  home_.clock().advance(380 * kDay);
  EXPECT_FALSE(setup->renew_local_certificate(nullptr));
  EXPECT_EQ(read(setup->certificate_path()), served);
}

// ---- renewal while serving --------------------------------------------------

// Completes a TLS handshake with the server, trusting only `ca_file` and
// judging validity at `at`; returns the served certificate's fingerprint, or
// an empty text when the handshake fails.
std::string served_fingerprint(int port, const fs::path& ca_file, double at) {
  std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> ctx(SSL_CTX_new(TLS_client_method()), SSL_CTX_free);
  SSL_CTX_set_verify(ctx.get(), SSL_VERIFY_PEER, nullptr);
  if (SSL_CTX_load_verify_locations(ctx.get(), ca_file.c_str(), nullptr) != 1) return {};
  X509_VERIFY_PARAM_set_time(SSL_CTX_get0_param(ctx.get()), static_cast<time_t>(at));
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  const timeval guard{kClientGuardSeconds, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &guard, sizeof guard);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string fingerprint;
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
    SSL* ssl = SSL_new(ctx.get());
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), "127.0.0.1");
    SSL_set_fd(ssl, fd);
    if (SSL_connect(ssl) == 1) {
      X509* peer = SSL_get1_peer_certificate(ssl);
      fingerprint = setup::sha256_fingerprint(peer);
      X509_free(peer);
      SSL_shutdown(ssl);
    }
    SSL_free(ssl);
  }
  ERR_clear_error();
  close(fd);
  return fingerprint;
}

TEST_F(SetupManagerTest, RenewsALocalCertificateIntoTheRunningServer) {
  SetupSettings settings;
  settings.cert = (deployment() / "server.cer").string();
  settings.key = (deployment() / "server-key.pem").string();
  auto setup = manager(settings);
  setup->save("admin", {{"hostname", "127.0.0.1"}, {"port", 8443}});
  setup->issue("admin");
  auto fingerprint_of_file = [&] { return setup::sha256_fingerprint(setup::cert_load(read(setup->certificate_path())).get()); };

  auto tls = http::TlsContext::from_files(*settings.cert, *settings.key);
  http::ExclusiveHTTPServer server("127.0.0.1", 0);
  server.set_handler([](const http::HttpRequest&) { return http::HttpResponse{}; });
  server.enable_tls(tls);
  std::atomic<bool> stop{false};
  std::thread loop([&] { server.serve_until(stop); });

  const std::string first = served_fingerprint(server.port(), setup->ca_path(), home_.clock().now());
  EXPECT_EQ(first, fingerprint_of_file());
  EXPECT_FALSE(setup->renew_local_certificate(tls.get()));  // 397 days left: nothing to do

  home_.clock().advance(380 * kDay);
  // The old certificate now has 17 days left.
  EXPECT_TRUE(setup->renew_local_certificate(tls.get()));
  const std::string renewed = served_fingerprint(server.port(), setup->ca_path(), home_.clock().now());
  EXPECT_FALSE(renewed.empty());
  EXPECT_NE(renewed, first);
  EXPECT_EQ(renewed, fingerprint_of_file());
  setup::X509Ptr cert = setup::cert_load(read(setup->certificate_path()));
  EXPECT_TRUE(setup::valid_at(cert.get(), home_.clock().now()));
  EXPECT_NEAR(setup::not_after(cert.get()), home_.clock().now() + 397 * kDay, kDay);
  EXPECT_FALSE(setup->renew_local_certificate(tls.get()));
  EXPECT_NE(home_.audit_text().find("setup.certificate.renewed"), std::string::npos);

  // A certificate issued from Administration for the same name is picked up
  // by the serve loop's next pass, without a restart.
  Json issued = setup->issue("admin");
  EXPECT_EQ(issued["restart_required"], false);
  EXPECT_EQ(setup->renewal_check_at.load(), 0.0);
  EXPECT_EQ(served_fingerprint(server.port(), setup->ca_path(), home_.clock().now()), renewed);
  setup->renew_local_certificate(tls.get());
  EXPECT_EQ(served_fingerprint(server.port(), setup->ca_path(), home_.clock().now()), fingerprint_of_file());

  stop = true;
  loop.join();
}

// ---- the settings file -----------------------------------------------------------

TEST_F(SetupManagerTest, PlanAndSettingsFileAreWhatTheServerReads) {
  auto setup = manager();
  EXPECT_THROW(setup->plan(), AccessInvalid);
  setup->save("admin", {{"hostname", kHost}, {"bind", "0.0.0.0"}, {"port", 8443}});
  setup->issue("admin");
  Json plan = setup->plan();
  std::vector<std::string> keys;
  for (auto it = plan.begin(); it != plan.end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"bind", "port", "config", "db", "cert", "key", "public_host", "hostname",
                                            "url"}));
  EXPECT_EQ(plan["config"], home_.config_path().string());
  EXPECT_EQ(plan["db"], (home_.data() / "core.sqlite3").string());
  EXPECT_EQ(plan["cert"], (deployment() / "server.cer").string());
  EXPECT_EQ(plan["url"], "https://alerts.hospital.example:8443");

  setup->write_plan(plan);
  EXPECT_EQ(mode_of(setup->settings_file_path()), 0600u);
  ServerOptions options;
  options.settings = setup->settings_file_path().string();
  apply_settings_file(options);
  EXPECT_EQ(options.bind, "0.0.0.0");
  EXPECT_EQ(options.port, 8443);
  EXPECT_EQ(options.public_host, "alerts.hospital.example:8443");
  EXPECT_EQ(options.key, plan["key"]);
  EXPECT_TRUE(setup::certificate_names(setup::cert_load(read(options.cert)).get(), setup::identity(options.hostname)));

  // Once installed, a new host name and certificate follow into the file.
  setup->save("admin", {{"hostname", "fd00::5"}});
  setup->issue("admin");
  apply_settings_file(options);
  EXPECT_EQ(options.public_host, "[fd00::5]:8443");
  EXPECT_TRUE(setup::certificate_names(setup::cert_load(read(options.cert)).get(), setup::identity(options.hostname)));
  EXPECT_THROW(setup->write_plan(Json{{"bind", "0.0.0.0"}}), AccessInvalid);
}

// ---- agents -------------------------------------------------------------------

std::map<std::string, std::string> zip_entries(const std::string& bytes, std::vector<std::string>* order,
                                               std::map<std::string, unsigned>* modes) {
  std::map<std::string, std::string> entries;
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* source = zip_source_buffer_create(bytes.data(), bytes.size(), 0, &error);
  zip_t* archive = source ? zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error) : nullptr;
  if (!archive) {
    if (source) zip_source_free(source);
    zip_error_fini(&error);
    return entries;
  }
  for (zip_int64_t i = 0; i < zip_get_num_entries(archive, 0); ++i) {
    const zip_uint64_t at = static_cast<zip_uint64_t>(i);
    std::string name = zip_get_name(archive, at, 0);
    zip_stat_t st;
    zip_stat_index(archive, at, 0, &st);
    std::string content(st.size, '\0');
    zip_file_t* file = zip_fopen_index(archive, at, 0);
    zip_fread(file, content.data(), st.size);
    zip_fclose(file);
    zip_uint8_t system = 0;
    zip_uint32_t attributes = 0;
    zip_file_get_external_attributes(archive, at, 0, &system, &attributes);
    (*modes)[name] = (attributes >> 16) & 0777;
    order->push_back(name);
    entries[name] = content;
  }
  zip_close(archive);
  zip_error_fini(&error);
  return entries;
}

TEST_F(SetupManagerTest, BundleCarriesTheAgentsSettingsAndLinuxInstallation) {
  auto setup = manager();
  EXPECT_THROW(setup->bundle("admin", "ward-pc-7"), AccessInvalid);  // no authority yet
  setup->save("admin", {{"hostname", kHost}, {"port", 8443}});
  setup->issue("admin");
  const std::string bytes = setup->bundle("admin", "ward-pc-7");

  std::vector<std::string> order;
  std::map<std::string, unsigned> modes;
  auto entries = zip_entries(bytes, &order, &modes);
  EXPECT_EQ(order, std::vector<std::string>(setup::kBundleEntries.begin(), setup::kBundleEntries.end()));
  Json settings = json::parse_text(entries[setup::kBundleSettings]);
  EXPECT_EQ(settings["server_url"], "https://alerts.hospital.example:8443");
  EXPECT_EQ(settings["device_id"], "ward-pc-7");
  EXPECT_EQ(settings["token"], testing_support::kDeviceToken);
  EXPECT_EQ(settings["ca_certificate"], read(setup->ca_path()));
  EXPECT_EQ(entries[setup::kBundleCaCertificate], read(setup->ca_path()));
  EXPECT_EQ(modes[setup::kBundleSettings], 0600u);

  const std::string& unit = entries[setup::kBundleSystemdUnit];
  EXPECT_NE(unit.find("ExecStart=/opt/halvenor-agent/agent --settings %h/.config/halvenor-agent/settings.json"),
            std::string::npos) << unit;
  EXPECT_NE(unit.find("WantedBy=graphical-session.target"), std::string::npos);
  const std::string& autostart = entries[setup::kBundleAutostart];
  EXPECT_EQ(autostart.rfind("[Desktop Entry]\nType=Application\n", 0), 0u);
  EXPECT_NE(autostart.find("Exec=sh -c \"exec /opt/halvenor-agent/agent --settings \\\\$HOME/"), std::string::npos);
  const std::string& readme = entries[setup::kBundleReadme];
  EXPECT_NE(readme.find(settings["ca_sha256_fingerprint"].get<std::string>()), std::string::npos);
  EXPECT_NE(readme.find("systemctl --user enable --now halvenor-agent.service"), std::string::npos);

  EXPECT_THROW(setup->bundle("admin", "no-such-pc"), AccessInvalid);
  EXPECT_THROW(setup->bundle("admin", nullptr), AccessInvalid);
  EXPECT_NE(home_.audit_text().find("setup.bundle.created"), std::string::npos);
  EXPECT_EQ(home_.audit_text().find(testing_support::kDeviceToken), std::string::npos);
}

TEST_F(SetupManagerTest, AgentsLearnTheAuthorityAndReportBack) {
  auto setup = manager();
  setup->save("admin", {{"hostname", kHost}});
  setup->issue("admin");
  const std::string ca_pem = read(setup->ca_path());
  const std::string fingerprint = setup::sha256_fingerprint(setup::cert_load(ca_pem).get());

  Json update = setup->agent_update("ward-pc-7");
  EXPECT_EQ(update["action"], "install");
  EXPECT_EQ(update["ca_certificate"], ca_pem);
  EXPECT_EQ(update["ca_sha256_fingerprint"], fingerprint);
  EXPECT_THROW(setup->agent_report("ward-pc-7", {{"status", "done"}, {"ca_sha256_fingerprint", fingerprint}}),
               AccessInvalid);
  EXPECT_EQ(setup->agent_report("ward-pc-7", {{"status", "installed"}, {"ca_sha256_fingerprint", fingerprint}})["current"],
            true);
  EXPECT_EQ(setup->agent_update("ward-pc-7")["action"], "none");

  EXPECT_EQ(setup->browser_request("ward-pc-7")["action"], "none");
  EXPECT_THROW(setup->browser_report("ward-pc-7", {{"status", "installed"}}), AccessInvalid);
  EXPECT_THROW(setup->request_browser_trust("admin", "no-such-pc"), AccessInvalid);
  EXPECT_EQ(setup->request_browser_trust("admin", "ward-pc-7")["status"], "pending");
  Json asked = setup->browser_request("ward-pc-7");
  EXPECT_EQ(asked["action"], "install");
  EXPECT_EQ(asked["ca_certificate"], ca_pem);
  setup->browser_report("ward-pc-7", {{"status", "installed"}, {"detail", std::string(5000, 'x')}});
  EXPECT_EQ(setup->browser_request("ward-pc-7")["action"], "none");

  Json distributed = setup->distribute("admin");
  EXPECT_EQ(distributed["certificate_authority"]["sha256_fingerprint"], fingerprint);
  EXPECT_EQ(distributed["agents"][0]["current"], true);
  EXPECT_EQ(distributed["browser_trust"][0]["status"], "installed");
  const std::string der = setup->public_ca("admin");
  EXPECT_EQ(setup::read_file(home_.data() / "halvenor-mass-communication-ca.cer", setup::kMaxPemBytes), der);
  EXPECT_EQ(der, setup::der(setup::cert_load(ca_pem).get()));
}

TEST_F(SetupManagerTest, OffersTheLinuxAndWindowsAgentPackagesBuiltBesideIt) {
  const fs::path packages = home_.folder() / "packages";
  fs::create_directories(packages);
  for (const char* name : {"halvenor-agent_0.1.0_amd64.deb", "halvenor-agent_0.1.0_x64.msi", "halvenor-agent_0.1.0.txt",
                           "other_0.1.0_x64.msi"})
    setup::private_write(packages / name, name);
  auto setup = manager();
  EXPECT_EQ(setup->agent_packages("admin")["packages"],
            Json({"halvenor-agent_0.1.0_amd64.deb", "halvenor-agent_0.1.0_x64.msi"}));
  EXPECT_EQ(setup->agent_package("admin", "halvenor-agent_0.1.0_x64.msi").second, "halvenor-agent_0.1.0_x64.msi");
  EXPECT_THROW(setup->agent_package("admin", "other_0.1.0_x64.msi"), AccessInvalid);
}

}  // namespace
}  // namespace halvenor
