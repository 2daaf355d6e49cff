// The mobile provider set: which transport carries each mobile channel.
//
// Built once from the configuration's "mobile_providers" object, whose
// members "sms" and "whatsapp" each name a `driver`:
//   "disabled"  nothing leaves on this channel (the default)
//   "mock"      exercise-only loopback provider: messages are recorded in the
//               database instead of being sent, and live traffic is refused
//   "http"      a JSON-over-HTTPS gateway (settings in gateway_settings.h)
// Each configured channel becomes the channel's configured provider account
// (provider_accounts.h); IT may add further accounts from the dashboard.
// Immutable after construction; safe to share between threads.
#pragma once

#include <map>
#include <string>

#include "base/json_text.h"

namespace halvenor {

inline constexpr const char* kMobileChannels[] = {"sms", "whatsapp"};

struct ProviderSpec {
  std::string channel;
  std::string driver = "disabled";
  Json settings = Json::object();  // the channel's whole configuration object
};

struct ProviderSet {
  std::map<std::string, ProviderSpec> channels;  // one entry per mobile channel
  const ProviderSpec& for_channel(const std::string& channel) const;
};

// Throws ProviderConfigurationError, with a message for IT, when the
// configuration names a channel or driver that cannot be built.
ProviderSet build_providers(const Json& config);

// False when the configuration's transport policy "provider" is "disabled":
// then no message leaves on any mobile channel, whatever the accounts say.
bool transport_enabled(const Json& config);

}  // namespace halvenor
