// Writes a demonstration installation: a configuration with a small sample
// directory (sites, departments, receiving computers, contacts, groups, an
// operator, an administrator and an auditor) in exercise mode with the
// exercise-only mobile provider, so every path of the service can be tried
// on loopback without touching real people.
//
//   make_demo_install --folder DIR [--devices N] [--https-port PORT]
// Prints the operator's sign-in credential; writes the others to
// DIR/data/demo-credentials.txt (owner-only).
//
// With --https-port the installation also gets its own local authority and
// a certificate for "localhost" in DIR/data/deployment (server.cer with its
// chain, server-key.pem, ca.cer and ca-key.pem, so the service renews the
// certificate itself), and DIR/agent-rollout.json: an exercise-only
// enrolment code for the North site's wards, with which demo agents enrol
// against https://localhost:PORT.
#include <filesystem>
#include <iostream>
#include <string>

#include "app/service_parts.h"
#include "base/clock.h"
#include "base/digest.h"
#include "base/json_text.h"
#include "companions/setup/setup_manager.h"
#include "net/certificates.h"
#include "net/private_files.h"
#include "server/core/core.h"

using halvenor::Json;
namespace setup = halvenor::setup;

namespace {

constexpr double kDemoCodeHours = 24.0 * 30;
constexpr int kDemoCodeUses = 20;

// The authority and the served certificate, laid out as an installation's
// deployment folder keeps them.
void issue_localhost_certificate(const std::filesystem::path& deployment, double now) {
  setup::ensure_private_folder(deployment);
  auto ca_key = setup::generate_ec_p256_key();
  auto ca = setup::make_ca(ca_key.get(), "Halvenor Demonstration Local CA", now);
  auto key = setup::generate_ec_p256_key();
  auto cert = setup::issue_server_certificate(ca.get(), ca_key.get(), key.get(), setup::identity("localhost"), now);
  setup::private_write(deployment / "ca-key.pem", setup::private_key_pem(ca_key.get()));
  setup::private_write(deployment / "ca.cer", setup::pem(ca.get()));
  setup::private_write(deployment / "server-key.pem", setup::private_key_pem(key.get()));
  setup::private_write(deployment / "server.cer", setup::pem(cert.get()) + setup::pem(ca.get()));
}

// Creates the database and, through the deployment settings as the service
// would, an exercise-only enrolment code; its rollout file goes to `rollout`.
void write_rollout(const std::filesystem::path& data, int port, const std::filesystem::path& rollout) {
  Json config = halvenor::json::parse_text(setup::read_file(data / "config.json", 1 << 20));
  halvenor::ServiceParts parts(std::move(config), (data / "core.sqlite3").string(), (data / "config.json").string());
  halvenor::SetupSettings settings;
  settings.port = port;
  settings.url = "https://localhost:" + std::to_string(port);
  settings.cert = std::filesystem::absolute(data / "deployment" / "server.cer").string();
  settings.key = std::filesystem::absolute(data / "deployment" / "server-key.pem").string();
  halvenor::SetupManager manager(parts.core(), parts.access(), data.parent_path(), settings, data);
  Json code = manager.create_enrolment_code(
      "demo-admin", {{"site", "North"}, {"department", "Wards"}, {"expires_hours", kDemoCodeHours},
                     {"uses", kDemoCodeUses}, {"live", false}});
  setup::private_write(rollout, halvenor::json::indented(code["rollout"]) + "\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::filesystem::path folder;
  int device_count = 6;
  int https_port = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--folder" && i + 1 < argc) folder = argv[++i];
    else if (arg == "--devices" && i + 1 < argc) device_count = std::stoi(argv[++i]);
    else if (arg == "--https-port" && i + 1 < argc) https_port = std::stoi(argv[++i]);
    else {
      std::cerr << "usage: make_demo_install --folder DIR [--devices N] [--https-port PORT]\n";
      return 2;
    }
  }
  if (folder.empty()) {
    std::cerr << "usage: make_demo_install --folder DIR [--devices N] [--https-port PORT]\n";
    return 2;
  }
  auto data = folder / "data";
  if (std::filesystem::exists(data / "config.json")) {
    std::cerr << "make_demo_install: " << (data / "config.json").string() << " exists; not replacing it\n";
    return 1;
  }
  halvenor::setup::ensure_private_folder(data);
  auto& random = *halvenor::system_random();
  auto token = [&] { return halvenor::random_token(random, 24); };

  const char* sites[] = {"North", "South", "East"};
  const char* departments[] = {"Emergency Department", "Wards", "Estates", "Security", "Switchboard"};
  Json devices = Json::array();
  for (int i = 0; i < device_count; ++i) {
    devices.push_back({{"id", "pc-" + std::to_string(i + 1)},
                       {"token", token()},
                       {"site", sites[i % 3]},
                       {"department", departments[i % 5]},
                       {"display_name", std::string(sites[i % 3]) + " " + departments[i % 5] + " PC " +
                                            std::to_string(i / 3 + 1)}});
  }
  Json contacts = Json::array({
      {{"id", "duty-manager"}, {"display_name", "Duty Manager"}, {"phone", "+447700900101"},
       {"channels", {"sms", "whatsapp"}}, {"site", "BOTH"}, {"department", "Command Centre"}},
      {{"id", "estates-lead"}, {"display_name", "Estates Lead"}, {"phone", "+447700900102"},
       {"channels", {"sms"}}, {"site", "North"}, {"department", "Estates"}},
  });
  std::string operator_token = token(), admin_token = token(), auditor_token = token();
  Json config = {
      {"mode", "test"},
      {"provider", "mock"},
      {"mobile_providers", {{"sms", {{"driver", "mock"}}}, {"whatsapp", {{"driver", "mock"}}}}},
      {"live_desktop", {{"enabled", false}}},
      {"sites", {"North", "South", "East"}},
      {"site_labels", {{"North", "North Hospital"}, {"South", "South Hospital"}, {"East", "East Clinic"}}},
      {"users",
       {{{"id", "demo-operator"}, {"role", "operator"}, {"display_name", "Demo Operator"}, {"token", operator_token},
         {"can_send_sms", true}, {"can_send_whatsapp", true}},
        {{"id", "demo-admin"}, {"role", "operator"}, {"display_name", "Demo Administrator"}, {"token", admin_token},
         {"can_send_sms", true}, {"can_send_whatsapp", true}, {"can_manage_users", true}},
        {{"id", "demo-auditor"}, {"role", "auditor"}, {"display_name", "Demo Auditor"}, {"token", auditor_token}}}},
      {"devices", devices},
      {"contacts", contacts},
      {"groups", {{{"id", "incident-team"}, {"name", "Incident team"}, {"members", {"pc-1", "duty-manager"}}}}},
      {"alert_templates",
       {{{"name", "Fire drill"}, {"title", "Fire drill"}, {"body", "This is a fire drill. Follow your local evacuation plan."},
         {"severity", "critical"}, {"ttl_minutes", 15}}}},
  };
  halvenor::setup::private_write(data / "config.json", halvenor::json::indented(config));
  std::string credentials = "operator demo-operator " + operator_token + "\nadministrator demo-admin " + admin_token +
                            "\nauditor demo-auditor " + auditor_token + "\n";
  for (const Json& d : devices)
    credentials += "device " + d["id"].get<std::string>() + " " + d["token"].get<std::string>() + "\n";
  halvenor::setup::private_write(data / "demo-credentials.txt", credentials);
  if (https_port > 0) {
    issue_localhost_certificate(data / "deployment", halvenor::system_clock()->now());
    write_rollout(data, https_port, folder / "agent-rollout.json");
  }
  std::cout << operator_token << std::endl;
  return 0;
}
