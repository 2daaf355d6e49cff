// Start-up of the built service program: command-line and settings-file
// refusals, the console lines, TLS start, a taken port and stopping.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>
#include <openssl/x509v3.h>

#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "base/release.h"
#include "net/certificates.h"
#include "tests/process/process_support.h"

namespace halvenor::testing {
namespace {

namespace fs = std::filesystem;

constexpr double kDay = 86400;
constexpr const char* kQueueRunning =
    "Mobile queue: configured providers and isolated legacy exercise mocks; unavailable channels stay disabled";
constexpr const char* kNetworkRefusal =
    "Network binding requires --cert, --key and --public-host; test mode remains enforced";
// A settings file names its port in advance; another program may take it first.
constexpr int kPortAttempts = 3;

double unix_now() { return static_cast<double>(std::time(nullptr)); }

Json exercise_config() {
  return Json::parse(R"({
    "mode": "test", "provider": "mock",
    "mobile_providers": {"sms": {"driver": "mock"}, "whatsapp": {"driver": "mock"}},
    "users": [{"id": "op", "role": "operator", "token": "op-token-123456"}],
    "devices": [{"id": "pc-1", "token": "pc1-token-123456", "site": "North", "department": "Wards"}],
    "contacts": [], "groups": []
  })");
}

// An authority and a server certificate for `host`, valid from `now`.
struct Pki {
  fs::path ca_file, cert_file, key_file;
};

Pki issue(const TempFolder& folder, const std::string& host, double now, int days = 30) {
  auto ca_key = setup::generate_ec_p256_key();
  auto ca = setup::make_ca(ca_key.get(), "Halvenor Test Authority", unix_now() - 1000 * kDay);
  auto key = setup::generate_ec_p256_key();
  auto cert = setup::issue_server_certificate(ca.get(), ca_key.get(), key.get(), setup::identity(host), now, days);
  return {folder.write("ca.pem", setup::pem(ca.get())),
          folder.write("server.pem", setup::pem(cert.get()) + setup::pem(ca.get())),
          folder.write("server.key", setup::private_key_pem(key.get()))};
}

// A self-signed certificate whose only subject alternative name is san_text
// (for example "DNS:127.0.0.1", which no issuing path here would produce).
Pki self_signed(const TempFolder& folder, const std::string& san_text) {
  auto key = setup::generate_ec_p256_key();
  setup::X509Ptr cert(X509_new());
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 7);
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), static_cast<long>(30 * kDay));
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("test"), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  X509_set_pubkey(cert.get(), key.get());
  setup::X509ExtensionPtr san(X509V3_EXT_conf_nid(nullptr, nullptr, NID_subject_alt_name, san_text.c_str()));
  X509_add_ext(cert.get(), san.get(), -1);
  X509_sign(cert.get(), key.get(), EVP_sha256());
  return {folder.write("ca.pem", setup::pem(cert.get())), folder.write("server.pem", setup::pem(cert.get())),
          folder.write("server.key", setup::private_key_pem(key.get()))};
}

struct Outcome {
  std::optional<int> status;
  std::vector<std::string> lines;  // standard output
  std::string error;               // standard error
};

Outcome run_to_exit(const std::vector<std::string>& args) {
  std::vector<std::string> argv{server_program().string()};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess child(argv);
  Outcome outcome;
  outcome.status = child.wait_exit();
  while (auto line = child.read_line(std::chrono::milliseconds(0))) outcome.lines.push_back(*line);
  outcome.error = child.error_text();
  return outcome;
}

std::string usage_error(const std::string& message) { return "\nserver: error: " + message + "\n"; }

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    config_ = folder_.write("config.json", json::indented(exercise_config())).string();
    db_ = (folder_.path() / "core.sqlite3").string();
  }

  std::vector<std::string> args(std::vector<std::string> more = {}) const {
    std::vector<std::string> all{"--config", config_, "--db", db_, "--port", "0"};
    all.insert(all.end(), more.begin(), more.end());
    return all;
  }

  // Settings with every key; `overrides` replaces or removes (null) some.
  std::string settings_file(const Pki& pki, int port, const std::string& hostname, const Json& overrides = {}) {
    Json settings = {{"bind", "127.0.0.1"},
                     {"port", port},
                     {"config", config_},
                     {"db", db_},
                     {"cert", pki.cert_file.string()},
                     {"key", pki.key_file.string()},
                     {"public_host", hostname + ":" + std::to_string(port)},
                     {"hostname", hostname}};
    for (auto it = overrides.begin(); overrides.is_object() && it != overrides.end(); ++it) {
      if (it->is_null())
        settings.erase(it.key());
      else
        settings[it.key()] = *it;
    }
    // Saved by an editor that writes a byte-order mark.
    return folder_.write("server-settings.json", "\xEF\xBB\xBF" + json::indented(settings)).string();
  }

  TempFolder folder_;
  std::string config_;
  std::string db_;
};

TEST_F(StartupTest, UsageErrorsExitWith2BeforeAnythingIsOpened) {
  Pki pki = issue(folder_, "localhost", unix_now());
  const std::string cert = pki.cert_file.string(), key = pki.key_file.string();
  const struct {
    std::vector<std::string> extra;
    std::string message;  // empty: only the usage-error form is checked
  } cases[] = {
      {{"--port", "eighty"}, ""},
      {{"--port", "80.5"}, ""},
      {{"--unknown-option"}, ""},
      {{"--bind", "0.0.0.0"}, kNetworkRefusal},
      {{"--bind", "0.0.0.0", "--cert", cert}, kNetworkRefusal},
      {{"--bind", "0.0.0.0", "--cert", cert, "--key", key}, kNetworkRefusal},
      {{"--bind", "::"}, kNetworkRefusal},
      {{"--bind", "fe80::1"}, kNetworkRefusal},
      {{"--bind", "localhost", "--public-host", "localhost:1", "--cert", cert, "--key", ""}, kNetworkRefusal},
      {{"--max-connections-per-address", "0"}, ""},
      {{"--cert", cert}, "--cert and --key must be supplied together"},
      {{"--key", key}, "--cert and --key must be supplied together"},
  };
  for (const auto& c : cases) {
    std::string label = c.extra[0] + " " + (c.extra.size() > 1 ? c.extra[1] : "");
    Outcome outcome = run_to_exit(args(c.extra));
    EXPECT_EQ(outcome.status, 2) << label;
    EXPECT_EQ(outcome.error.rfind("usage: server ", 0), 0u) << label << outcome.error;
    if (c.message.empty())
      EXPECT_NE(outcome.error.find("\nserver: error: "), std::string::npos) << label << outcome.error;
    else
      EXPECT_TRUE(ends_with(outcome.error, usage_error(c.message))) << label << outcome.error;
    EXPECT_TRUE(outcome.lines.empty()) << label;
    EXPECT_FALSE(fs::exists(db_)) << label;
  }
}

TEST_F(StartupTest, HelpListsTheOptionsAndExitsNormally) {
  Outcome outcome = run_to_exit({"--help"});
  EXPECT_EQ(outcome.status, 0);
  std::string text;
  for (const auto& line : outcome.lines) text += line + "\n";
  for (const char* help : {"Saved Administration server-settings.json; overrides server address/TLS/config/database options",
                           "Exact DNS name:port used by clients, required for network binding",
                           "PEM server certificate including chain", "PEM private key",
                           "Exercise: persist mobile jobs without processing them; desktop remains active"})
    EXPECT_NE(text.find(help), std::string::npos) << help;
}

TEST_F(StartupTest, SettingsFileLackingAKeyOrWithABadPortStopsStartUp) {
  Pki pki = issue(folder_, "localhost", unix_now());
  // 2^32 + a free port must not wrap around to that port.
  for (Json port : {Json(4294967296LL + free_port()), Json(-1), Json(65536), Json("8443"), Json(8443.0)}) {
    Outcome outcome = run_to_exit({"--settings", settings_file(pki, 0, "localhost", Json{{"port", port}})});
    EXPECT_EQ(outcome.status, 1) << port;
    EXPECT_TRUE(outcome.lines.empty()) << port << " " << (outcome.lines.empty() ? "" : outcome.lines[0]);
  }
  for (const char* missing : {"hostname", "public_host", "db"}) {
    Outcome outcome = run_to_exit({"--settings", settings_file(pki, 0, "localhost", Json{{missing, nullptr}})});
    EXPECT_NE(outcome.status, 0) << missing;
    EXPECT_TRUE(outcome.status.has_value()) << missing;
    EXPECT_TRUE(outcome.lines.empty()) << missing;
    EXPECT_NE(outcome.error.find("server: error: "), std::string::npos) << missing;
  }
  Outcome unreadable = run_to_exit({"--settings", (folder_.path() / "absent.json").string()});
  EXPECT_NE(unreadable.status, 0);
  EXPECT_TRUE(unreadable.lines.empty());
}

TEST_F(StartupTest, SavedCertificateMustNameTheSavedHostByItsKind) {
  // The address written as a DNS name does not name the address.
  Pki pki = self_signed(folder_, "DNS:127.0.0.1");
  Outcome outcome = run_to_exit({"--settings", settings_file(pki, 0, "127.0.0.1")});
  EXPECT_EQ(outcome.status, 2);
  EXPECT_TRUE(ends_with(outcome.error,
                        usage_error("Saved hostname does not match the staged certificate. Stage a certificate for "
                                    "the saved hostname first.")))
      << outcome.error;
  Pki other = issue(folder_, "alerts.hospital.example", unix_now());
  EXPECT_EQ(run_to_exit({"--settings", settings_file(other, 0, "localhost")}).status, 2);
}

TEST_F(StartupTest, SavedCertificateMustBeValidNow) {
  for (double issued : {unix_now() - 60 * kDay, unix_now() + 10 * kDay}) {
    Pki pki = issue(folder_, "localhost", issued, 30);
    Outcome outcome = run_to_exit({"--settings", settings_file(pki, 0, "localhost")});
    EXPECT_EQ(outcome.status, 2);
    EXPECT_TRUE(ends_with(outcome.error, usage_error("Saved certificate is expired or not yet valid"))) << outcome.error;
    EXPECT_FALSE(fs::exists(db_));
  }
}

TEST_F(StartupTest, ValidSettingsFileServesVerifiedHttpsOnItsAddress) {
  Pki pki = issue(folder_, "localhost", unix_now());
  Service service;
  int port = 0;
  for (int attempt = 0; attempt < kPortAttempts && !service.process; ++attempt) {
    port = free_port();
    // The file wins over the command line's address and port.
    try {
      service = start_service({"--settings", settings_file(pki, port, "localhost"), "--port", "1", "--bind", "0.0.0.0"});
    } catch (const std::runtime_error& e) {
      if (attempt + 1 == kPortAttempts) FAIL() << e.what();
    }
  }
  const std::string host = "localhost:" + std::to_string(port);
  EXPECT_EQ(service.banner[0], std::string("Halvenor Mass Communication v") + VERSION + " EXERCISE ONLY: https://" +
                                   host + " | SMS/WhatsApp transport: mock | Ctrl+C to stop");
  HttpReply version = https_exchange(port, raw_request("GET", "/api/version", {{"Host", host}}), pki.ca_file, "localhost");
  EXPECT_EQ(version.status, 200);
  EXPECT_EQ(version.json(), (Json{{"version", VERSION}, {"agent_version", AGENT_VERSION}}));
  // The public host replaces the loopback pair.
  HttpReply loopback = https_exchange(port, raw_request("GET", "/api/version", {{"Host", "127.0.0.1:" + std::to_string(port)}}),
                                    pki.ca_file, "localhost");
  EXPECT_EQ(loopback.status, 403);
  EXPECT_EQ(loopback.json(), (Json{{"error", "Local host required"}}));
  // Same origin means the https scheme.
  EXPECT_EQ(https_exchange(port, raw_request("GET", "/api/version", {{"Host", host}, {"Origin", "https://" + host}}),
                         pki.ca_file, "localhost")
                .status,
            200);
  EXPECT_EQ(https_exchange(port, raw_request("GET", "/api/version", {{"Host", host}, {"Origin", "http://" + host}}),
                         pki.ca_file, "localhost")
                .status,
            403);
  // A client that trusts another authority refuses the server.
  Pki stranger = self_signed(folder_, "DNS:localhost");
  EXPECT_THROW(https_exchange(port, raw_request("GET", "/api/version", {{"Host", host}}), stranger.ca_file, "localhost"),
               std::runtime_error);
}

TEST_F(StartupTest, CoreRefusalStopsStartUpWithItsMessage) {
  const struct {
    const char* key;
    Json value;
    const char* message;
  } cases[] = {
      {"mode", "production", "Supported core mode and mobile transport policy required"},
      {"live_desktop", Json{{"enabled", true}}, "Live desktop needs controlled_live mode"},
  };
  for (const auto& c : cases) {
    Json config = exercise_config();
    config[c.key] = c.value;
    folder_.write("config.json", json::indented(config));
    Outcome outcome = run_to_exit(args());
    EXPECT_NE(outcome.status, 0) << c.message;
    EXPECT_TRUE(outcome.status.has_value()) << c.message;
    EXPECT_NE(outcome.error.find(c.message), std::string::npos) << outcome.error;
    EXPECT_TRUE(outcome.lines.empty());
  }
  folder_.write("config.json", "{\"mode\": ");
  Outcome broken = run_to_exit(args());
  EXPECT_NE(broken.status, 0);
  EXPECT_TRUE(broken.lines.empty());
}

TEST_F(StartupTest, ConsoleLinesAnnounceModeAddressTransportSourceAndQueue) {
  Service service = start_service(args());
  const std::string port = std::to_string(service.port);
  EXPECT_EQ(service.banner[0], std::string("Halvenor Mass Communication v") + VERSION +
                                   " EXERCISE ONLY: http://127.0.0.1:" + port +
                                   " | SMS/WhatsApp transport: mock | Ctrl+C to stop");
  EXPECT_EQ(service.banner[1], "Source: " + fs::canonical(server_program()).string());
  EXPECT_EQ(service.banner[2], kQueueRunning);
  EXPECT_EQ(http_exchange(service.port, raw_request("GET", "/api/version", {{"Host", "localhost:" + port}})).status, 200);

  Json live = exercise_config();
  live["mode"] = "controlled_live";
  live["provider"] = "disabled";
  live["live_desktop"] = {{"enabled", true}, {"assurance_completed", true}, {"assurance_reference", "CR-1"}};
  folder_.write("config.json", json::indented(live));
  Service paused = start_service(args({"--pause-mobile-queue"}));
  EXPECT_EQ(paused.banner[0], std::string("Halvenor Mass Communication v") + VERSION + " LIVE DESKTOP ENABLED: http://127.0.0.1:" +
                                  std::to_string(paused.port) + " | SMS/WhatsApp transport: disabled | Ctrl+C to stop");
  EXPECT_EQ(paused.banner[2], "Mobile queue: PAUSED");

  live["live_desktop"] = {{"enabled", true}, {"deployment_scope", "home_lab"}};
  folder_.write("config.json", json::indented(live));
  Service lab = start_service(args({"--public-host", "alerts.hospital.example:9443"}));
  EXPECT_EQ(lab.banner[0], std::string("Halvenor Mass Communication v") + VERSION +
                               " DEMONSTRATION MODE - INCIDENT DISPLAYS: http://alerts.hospital.example:9443"
                               " | SMS/WhatsApp transport: disabled | Ctrl+C to stop");
}

// Binds 127.0.0.1 on a free port; with `reuse` set and not listening, a
// second socket that also set address reuse could share the port.
int occupy_port(bool reuse, bool listen_on_it, int* port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  if (reuse) setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
  if (listen_on_it) ::listen(fd, 4);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  *port = ntohs(address.sin_port);
  return fd;
}

// Starts the service on a port another socket holds; expects a refusal.
void expect_start_refused(const std::string& config, const std::string& db, int port) {
  Outcome outcome = run_to_exit({"--config", config, "--db", db, "--port", std::to_string(port)});
  EXPECT_NE(outcome.status, 0);
  EXPECT_TRUE(outcome.status.has_value());
  EXPECT_TRUE(outcome.lines.empty()) << (outcome.lines.empty() ? "" : outcome.lines[0]);
  EXPECT_NE(outcome.error.find("server: error: "), std::string::npos);
}

TEST_F(StartupTest, IPv6LoopbackServesPlainHttpUnderItsBracketedHost) {
  Service service = start_service(args({"--bind", "::1"}));
  const std::string host = "[::1]:" + std::to_string(service.port);
  EXPECT_NE(service.banner[0].find("http://" + host), std::string::npos) << service.banner[0];
  int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  address.sin6_port = htons(static_cast<std::uint16_t>(service.port));
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string request = raw_request("GET", "/api/version", {{"Host", host}});
  ASSERT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), static_cast<ssize_t>(request.size()));
  std::string reply;
  char buffer[4096];
  for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) reply.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  EXPECT_EQ(reply.rfind("HTTP/1.0 200 ", 0), 0u) << reply;
}

TEST_F(StartupTest, TakenPortStopsStartUp) {
  int port = 0;
  int fd = occupy_port(/*reuse=*/false, /*listen_on_it=*/true, &port);
  ASSERT_GE(fd, 0);
  expect_start_refused(config_, db_, port);
  ::close(fd);
}

TEST_F(StartupTest, InterruptAndTerminateStopNormally) {
  for (int signal : {SIGINT, SIGTERM}) {
    Service service = start_service(args());
    // A stop request may come as soon as the console lines are out.
    if (signal == SIGINT) {
      ASSERT_EQ(http_exchange(service.port, raw_request("GET", "/api/version",
                                                        {{"Host", "127.0.0.1:" + std::to_string(service.port)}}))
                    .status,
                200);
    }
    service.process->send_signal(signal);
    EXPECT_EQ(service.process->wait_exit(), 0) << strsignal(signal);
    EXPECT_EQ(service.process->error_text(), "") << strsignal(signal);
  }
}

}  // namespace
}  // namespace halvenor::testing
