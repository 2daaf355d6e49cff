#include "app/service_parts.h"

#include "base/errors.h"
#include "companions/drills/drill_schedule.h"
#include "companions/mobile/providers.h"
#include "companions/setup/setup_manager.h"

namespace halvenor {
namespace {

// Unusable mobile providers stop the service before anything is written,
// as an unusable policy does, and are reported after it.
Json with_usable_providers(Json config) {
  Core::check_policy(config);
  try {
    build_providers(config);
  } catch (const ProviderConfigurationError& e) {
    throw Invalid(e.what());
  }
  return config;
}

std::unique_ptr<AccessManager> access_for(Core& core, const std::optional<std::string>& config_path) {
  if (!config_path || config_path->empty()) return nullptr;
  return std::make_unique<AccessManager>(core, *config_path);
}

}  // namespace

ServiceParts::ServiceParts(Json config, std::string database, std::optional<std::string> config_path,
                           CoreOptions options)
    : core_(with_usable_providers(std::move(config)), std::move(database), std::move(options)),
      acknowledgements_(core_),
      queue_(core_, acknowledgements_),
      mobile_(core_),
      access_(access_for(core_, config_path)),
      identity_(core_) {
  {
    DbScope scope = core_.db();
    scope.begin_immediate();
    create_drill_schema(scope.conn());
    // Administration shows each computer's agent version, which the setup
    // component records; its tables exist before that component is built.
    SetupManager::create_schema(scope.conn());
    scope.commit();
  }
  core_.connect_mobile(mobile_, queue_);
  core_.connect_sign_in(identity_);
}

ServiceParts::~ServiceParts() { queue_.stop(); }

void ServiceParts::expose_to(ServiceContext& service) {
  service.core = &core_;
  service.mobile = &mobile_;
  service.acknowledgements = &acknowledgements_;
  service.identity = &identity_;
  service.access = access_.get();
}

}  // namespace halvenor
