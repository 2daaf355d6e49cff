#include "companions/mobile/providers.h"

#include "base/errors.h"
#include "companions/mobile/gateway_settings.h"

namespace halvenor {
namespace {

const ProviderSpec& disabled_spec() {
  static const ProviderSpec provider_spec;
  return provider_spec;
}

bool is_mobile_channel(const std::string& name) {
  for (const char* channel : kMobileChannels)
    if (name == channel) return true;
  return false;
}

}  // namespace

const ProviderSpec& ProviderSet::for_channel(const std::string& channel) const {
  auto it = channels.find(channel);
  return it == channels.end() ? disabled_spec() : it->second;
}

bool transport_enabled(const Json& config) {
  return !(config.is_object() && config.contains("provider") && config["provider"] == "disabled");
}

ProviderSet build_providers(const Json& config) {
  ProviderSet set;
  for (const char* channel : kMobileChannels) set.channels[channel] = ProviderSpec{channel, "disabled", Json::object()};
  if (!config.is_object()) return set;
  auto configured = config.find("mobile_providers");
  if (configured == config.end() || configured->is_null()) return set;
  if (!configured->is_object())
    throw ProviderConfigurationError("\"mobile_providers\" must be an object keyed by channel");
  for (auto it = configured->begin(); it != configured->end(); ++it) {
    const std::string& channel = it.key();
    if (!is_mobile_channel(channel))
      throw ProviderConfigurationError("Unknown mobile channel \"" + channel + "\" in mobile_providers");
    if (!it->is_object()) throw ProviderConfigurationError("Mobile provider for " + channel + " must be an object");
    auto driver = it->find("driver");
    if (driver == it->end() || !driver->is_string())
      throw ProviderConfigurationError("Mobile provider for " + channel + " needs a \"driver\"");
    std::string name = driver->get<std::string>();
    try {
      if (name == "http") {
        parse_gateway_settings(*it);
      } else if (name == "mock") {
        check_mock_settings(*it);
      } else if (name != "disabled") {
        throw ProviderConfigurationError("unknown driver \"" + name + "\"; use disabled, mock or http");
      }
    } catch (const ProviderConfigurationError& e) {
      throw ProviderConfigurationError("Mobile provider for " + channel + ": " + e.what());
    }
    set.channels[channel] = ProviderSpec{channel, name, *it};
  }
  return set;
}

}  // namespace halvenor
