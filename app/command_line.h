// The server's command-line options and the saved settings file that may
// override them.
#pragma once

#include <optional>
#include <stdexcept>
#include <string>

#include "server/http/exclusive_http_server.h"

namespace halvenor {

// A command line or settings value the service refuses before binding;
// reported as a usage error (usage line, "server: error: MESSAGE", status 2).
class UsageError : public std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct ServerOptions {
  std::string settings;
  std::string config;  // defaults to ROOT/data/config.json
  std::string db;      // defaults to ROOT/data/core.sqlite3
  int port = 8765;
  std::string bind = "127.0.0.1";
  std::string public_host;
  std::string cert;
  std::string key;
  bool pause_mobile_queue = false;
  std::size_t max_connections_per_address = http::kMaxConnectionsPerAddress;
  std::string hostname;  // from the settings file only
  bool help = false;
  // Maintenance commands that run instead of the service.
  bool verify_audit = false;
  std::string backup_to;
};

extern const char* const kUsageLine;
std::string help_text();

// Parses argv; throws UsageError for unknown options, missing values and a
// port that is not an integer.
ServerOptions parse_command_line(int argc, char** argv, const std::string& root);

// Copies the saved settings over the options: bind, port, config, db, cert,
// key, then public_host (the file always wins), and records its hostname.
// Throws std::runtime_error when the file is unreadable, not JSON, lacks a key
// or holds a port that is not an integer from 0 to 65535.
void apply_settings_file(ServerOptions& options);

}  // namespace halvenor
