#include "app/command_line.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "base/errors.h"
#include "base/json_text.h"

namespace halvenor {
namespace {

constexpr std::size_t kMaxSettingsBytes = 64 * 1024;
constexpr std::int64_t kMaxPort = 65535;

int parse_port(const std::string& text) {
  std::size_t used = 0;
  int value = 0;
  try {
    value = std::stoi(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used == 0 || used != text.size()) throw UsageError("argument --port: invalid int value: '" + text + "'");
  return value;
}

// A positive whole number of connections.
std::size_t parse_count(const std::string& text) {
  std::size_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value == 0 || value > 1'000'000)
    throw UsageError("argument --max-connections-per-address: expected a whole number from 1 to 1000000");
  return value;
}

}  // namespace

const char* const kUsageLine =
    "usage: server [-h] [--settings SETTINGS] [--config CONFIG] [--db DB] [--port PORT] [--bind BIND]\n"
    "              [--public-host PUBLIC_HOST] [--cert CERT] [--key KEY] [--pause-mobile-queue]\n"
    "              [--max-connections-per-address N] [--verify-audit] [--backup FILE]";

std::string help_text() {
  return std::string(kUsageLine) +
         "\n\nHalvenor Mass Communication service.\n\n"
         "options:\n"
         "  -h, --help            show this help message and exit\n"
         "  --settings SETTINGS   Saved Administration server-settings.json; overrides server address/TLS/config/"
         "database options\n"
         "  --config CONFIG\n"
         "  --db DB\n"
         "  --port PORT\n"
         "  --bind BIND\n"
         "  --public-host PUBLIC_HOST\n"
         "                        Exact DNS name:port used by clients, required for network binding\n"
         "  --cert CERT           PEM server certificate including chain\n"
         "  --key KEY             PEM private key\n"
         "  --pause-mobile-queue  Exercise: persist mobile jobs without processing them; desktop remains active\n"
         "  --max-connections-per-address N\n"
         "                        Open connections one client address may hold (default 1000; a terminal server\n"
         "                        runs many agents behind one address)\n"
         "  --verify-audit        Verify the audit hash chain of --db offline and exit (status 0 when intact)\n"
         "  --backup FILE         Write a consistent copy of the live database --db to FILE and exit\n";
}

ServerOptions parse_command_line(int argc, char** argv, const std::string& root) {
  ServerOptions options;
  options.config = (std::filesystem::path(root) / "data" / "config.json").string();
  options.db = (std::filesystem::path(root) / "data" / "core.sqlite3").string();
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::optional<std::string> inline_value;
    if (auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      inline_value = arg.substr(eq + 1);
      arg = arg.substr(0, eq);
    }
    auto value = [&]() -> std::string {
      if (inline_value) return *inline_value;
      if (i + 1 >= argc || (std::strncmp(argv[i + 1], "--", 2) == 0 && std::strlen(argv[i + 1]) > 2))
        throw UsageError("argument " + arg + ": expected one argument");
      return argv[++i];
    };
    auto flag = [&] {
      if (inline_value) throw UsageError("argument " + arg + ": ignored explicit argument '" + *inline_value + "'");
      return true;
    };
    if (arg == "-h" || arg == "--help") options.help = flag();
    else if (arg == "--settings") options.settings = value();
    else if (arg == "--config") options.config = value();
    else if (arg == "--db") options.db = value();
    else if (arg == "--port") options.port = parse_port(value());
    else if (arg == "--bind") options.bind = value();
    else if (arg == "--public-host") options.public_host = value();
    else if (arg == "--cert") options.cert = value();
    else if (arg == "--key") options.key = value();
    else if (arg == "--pause-mobile-queue") options.pause_mobile_queue = flag();
    else if (arg == "--max-connections-per-address") options.max_connections_per_address = parse_count(value());
    else if (arg == "--verify-audit") options.verify_audit = flag();
    else if (arg == "--backup") options.backup_to = value();
    else throw UsageError("unrecognized arguments: " + std::string(argv[i]));
  }
  return options;
}

void apply_settings_file(ServerOptions& options) {
  std::ifstream in(options.settings, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read settings file " + options.settings);
  std::ostringstream buffer;
  buffer << in.rdbuf();
  std::string text = buffer.str();
  if (text.size() > kMaxSettingsBytes) throw std::runtime_error("settings file is too large: " + options.settings);
  Json settings;
  try {
    settings = json::parse_text(text);
  } catch (const RequestError& e) {
    throw std::runtime_error("settings file is not valid JSON: " + options.settings);
  }
  if (!settings.is_object()) throw std::runtime_error("settings file must hold a JSON object: " + options.settings);
  for (const char* key : {"bind", "port", "config", "db", "cert", "key", "public_host", "hostname"})
    if (!settings.contains(key)) throw std::runtime_error(std::string("settings file lacks \"") + key + "\"");
  auto text_of = [&](const char* key) {
    const Json& v = settings[key];
    if (!v.is_string()) throw std::runtime_error(std::string("settings \"") + key + "\" must be text");
    return v.get<std::string>();
  };
  options.bind = text_of("bind");
  // Checked before narrowing: a value beyond int would otherwise wrap into
  // some other, valid-looking port.
  const Json& port = settings["port"];
  if (!port.is_number_integer() || (port.is_number_unsigned() && port.get<std::uint64_t>() > kMaxPort) ||
      port.get<std::int64_t>() < 0 || port.get<std::int64_t>() > kMaxPort)
    throw std::runtime_error("settings \"port\" must be an integer from 0 to 65535");
  options.port = static_cast<int>(port.get<std::int64_t>());
  options.config = text_of("config");
  options.db = text_of("db");
  options.cert = text_of("cert");
  options.key = text_of("key");
  options.public_host = text_of("public_host");
  options.hostname = text_of("hostname");
}

}  // namespace halvenor
