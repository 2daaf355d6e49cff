#include "companions/mobile/mobile_integrations.h"

#include "companions/mobile/delivery_queue.h"
#include "companions/mobile/providers.h"
#include "companions/mobile/whatsapp_template.h"
#include "server/core/core.h"
#include "server/core/errors.h"

namespace halvenor {

MobileIntegrations::MobileIntegrations(Core& core) : core_(core) {}

Json MobileIntegrations::channel_report(const std::string& channel) {
  // The transport policy switch overrides every channel's provider.
  bool policy_allows = member_or(core_.config()->doc(), "provider", kNull) != "disabled";
  const ProviderSpec& spec = core_.mobile_providers().for_channel(channel);
  // The exercise-only provider needs no test step: it never leaves the machine.
  bool mock = policy_allows && spec.driver == "mock";
  return Json{{"network_delivery_enabled", mock}, {"credentials_verified", mock},
              {"connection_verified", mock},      {"live_sending_enabled", false},
              {"exercise_sending_enabled", mock}, {"driver", policy_allows ? spec.driver : "disabled"}};
}

Json MobileIntegrations::report() {
  Json report = Json::object();
  for (const char* channel : kMobileChannels) report[channel] = channel_report(channel);
  return report;
}

bool MobileIntegrations::route(const Json& contact, const std::string& channel, bool live) {
  if (!contact.is_object() || contact.empty()) return false;
  Json entry = channel_report(channel);
  if (!exactly_true(entry["network_delivery_enabled"])) return false;
  return live ? exactly_true(entry["live_sending_enabled"]) : exactly_true(entry["exercise_sending_enabled"]);
}

Json MobileIntegrations::preview(const Json& contact, const Json& title, const Json& body,
                                 const std::string& mode, const Json& values) {
  Json rendered = render_whatsapp(title, body, mode, values);
  rendered["recipient"] = member_or(contact, "display_name", member_or(contact, "id", kNull));
  return Json{{"preview", rendered}};
}

Json MobileIntegrations::operate(const std::string& actor, const Json& request) {
  ConfigPtr cfg = core_.config();
  bool allowed = false;
  for (const Json& user : required(cfg->doc(), "users"))
    if (member_or(user, "id", kNull) == actor) {
      allowed = exactly_true(member_or(user, "can_manage_users", kNull));
      break;
    }
  if (!allowed) throw AccessDenied();
  const Json& action = member_or(request, "action", kNull);
  if (action == "status") {
    DbScope scope = core_.db();
    return Json{{"integrations", report()}, {"queue", core_.queue().summary(scope.conn())}};
  }
  throw ConnectorError("Unknown mobile integration action.");
}

}  // namespace halvenor
