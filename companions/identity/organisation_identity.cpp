#include "companions/identity/organisation_identity.h"

#include "server/core/core.h"
#include "server/core/errors.h"

namespace halvenor {

OrganisationIdentity::OrganisationIdentity(Core& core) : core_(core) {}

bool OrganisationIdentity::enabled() const {
  ConfigPtr cfg = core_.config();
  return truthy(member_or(member_or(cfg->doc(), "organisation_identity", kEmptyObject), "enabled", kNull));
}

std::optional<Caller> OrganisationIdentity::authenticate(const std::string& /*token*/) {
  // No organisation sessions exist until sign-in can complete.
  return std::nullopt;
}

Json OrganisationIdentity::start(const std::string& /*base_url*/) {
  if (!enabled()) throw IdentityError("Organisation sign-in is not enabled on this server.");
  throw IdentityError("Organisation sign-in is not available in this release yet.");
}

Json OrganisationIdentity::complete(const Json& /*request*/) {
  if (!enabled()) throw IdentityError("Organisation sign-in is not enabled on this server.");
  throw IdentityError("Organisation sign-in is not available in this release yet.");
}

void OrganisationIdentity::logout(const std::string& /*token*/) {}

}  // namespace halvenor
