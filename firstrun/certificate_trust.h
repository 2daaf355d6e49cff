// Making browsers on this computer trust the installation's own certificate
// authority, for the current user or for the whole machine.
#pragma once

#include <filesystem>
#include <string>

namespace halvenor::trust {

// Throws a refusal with the reason when `scope` ("user" | "machine") cannot be
// served on this computer as it is now.
void validate_scope(const std::string& scope);

// Adds the PEM certificate to the trust store `scope` names.
void install_ca(const std::string& scope, const std::filesystem::path& ca_certificate);

}  // namespace halvenor::trust
