#include "server/core/channel_readiness.h"

#include "server/core/config_snapshot.h"

namespace halvenor {

Json channel_readiness(const Json& report) {
  Json channels = Json::object();
  for (const char* channel : {"sms", "whatsapp"}) {
    const Json& item = member_or(report, channel, kEmptyObject);
    auto flag = [&](const char* key) { return exactly_true(member_or(item, key, kNull)); };
    bool ready = flag("network_delivery_enabled") && flag("credentials_verified") && flag("connection_verified");
    channels[channel] = ready && flag("live_sending_enabled")       ? "live"
                        : ready && flag("exercise_sending_enabled") ? "test_only"
                                                                    : "integration_required";
  }
  return channels;
}

}  // namespace halvenor
