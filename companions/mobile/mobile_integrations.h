// Readiness of the mobile channels, routing of contacts to providers and
// message previews.
//
// Thread-safety: all operations may be called concurrently from request
// threads; they read the core's current configuration and provider set.
#pragma once

#include <string>

#include "server/core/json_text.h"

namespace halvenor {

class Core;

class MobileIntegrations {
 public:
  explicit MobileIntegrations(Core& core);

  // {"sms": {...}, "whatsapp": {...}}, each with the boolean flags
  // network_delivery_enabled, credentials_verified, connection_verified,
  // live_sending_enabled and exercise_sending_enabled, computed afresh.
  Json report();
  // Whether `contact` (an empty object once removed) may be sent `channel`
  // messages now, for live traffic when `live`.
  bool route(const Json& contact, const std::string& channel, bool live);
  // {"preview": {...}} for a WhatsApp message to `contact`; throws TemplateError.
  Json preview(const Json& contact, const Json& title, const Json& body, const std::string& mode,
               const Json& values);
  // Administration of provider connections for the dashboard.
  Json operate(const std::string& actor, const Json& request);

 private:
  Json channel_report(const std::string& channel);
  Core& core_;
};

}  // namespace halvenor
