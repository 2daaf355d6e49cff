// Asks a just-started service for its version over HTTPS, the way a browser
// on another PC would see it (certificate issued by the installation's own
// authority for the chosen host name, Host header naming that host), but
// connecting over this computer's own address so that the check does not
// depend on DNS being ready yet.
#pragma once

#include <filesystem>
#include <string>

#include "base/json_text.h"

namespace halvenor::firstrun {

class ServiceProbe {
 public:
  // `settings`: the service's settings file ("bind", "port", "hostname",
  // "public_host"). `ca_file`: PEM of the authority to verify against.
  ServiceProbe(const Json& settings, std::filesystem::path ca_file);

  // True when GET /api/version answers 200 within the time-out; otherwise
  // false with the reason in `why`.
  bool answers(std::string& why) const;

  // The address connected to: loopback for a wildcard listen address.
  const std::string& address() const { return address_; }

 private:
  std::string address_;
  int port_ = 0;
  std::string hostname_;
  std::string public_host_;
  std::filesystem::path ca_file_;
};

}  // namespace halvenor::firstrun
