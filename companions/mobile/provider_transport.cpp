#include "companions/mobile/provider_transport.h"

#include "base/errors.h"
#include "companions/mobile/gateway_settings.h"
#include "companions/mobile/gateway_transport.h"
#include "companions/mobile/mock_transport.h"
#include "companions/mobile/provider_accounts.h"

namespace halvenor {

std::unique_ptr<ProviderTransport> make_transport(Core& core, const ProviderAccount& account) {
  if (account.driver == "mock") return std::make_unique<MockTransport>(core);
  if (account.driver == "http") {
    try {
      return std::make_unique<GatewayTransport>(parse_gateway_settings(account.settings));
    } catch (const ProviderConfigurationError& e) {
      throw ConnectorError("Provider account " + account.id + " has unusable settings: " + e.what());
    }
  }
  throw ConnectorError("Provider account " + account.id + " is disabled.");
}

}  // namespace halvenor
