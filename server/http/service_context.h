// What the start-up wires together for request handling: the one Core, the
// features routes call, and the transport facts routes need.
// Set before serving starts and read-only afterwards, so request threads
// share it without locking.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace halvenor {

class AccessManager;
class Core;
class MobileAcknowledgements;
class MobileIntegrations;
class OrganisationIdentity;
class SetupManager;

struct ServiceContext {
  Core* core = nullptr;
  SetupManager* setup = nullptr;
  MobileIntegrations* mobile = nullptr;
  MobileAcknowledgements* acknowledgements = nullptr;
  OrganisationIdentity* identity = nullptr;
  AccessManager* access = nullptr;  // null when the service runs without a configuration file
  std::string scheme = "http";
  // Host header values requests must carry; empty means the loopback pair
  // for the bound port.
  std::vector<std::string> allowed_hosts;
  int port = 0;
  std::filesystem::path root;  // folder of the program, holding web/ and assets/
};

}  // namespace halvenor
