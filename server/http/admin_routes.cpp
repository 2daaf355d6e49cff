// Administration routes: deployment settings, access and mobile providers.
// Permission decisions belong to the components; these routes only pass the
// caller and the body on and shape the reply.
#include "base/errors.h"
#include "companions/access/access_manager.h"
#include "companions/access/directory_import.h"
#include "companions/access/live_switch.h"
#include "companions/mobile/mobile_integrations.h"
#include "companions/setup/setup_manager.h"
#include "server/core/core.h"
#include "server/http/routes.h"

namespace halvenor::http {

SetupManager& setup_of(RequestContext& c) {
  if (!c.service.setup) throw std::runtime_error("deployment settings component is not attached");
  return *c.service.setup;
}

HttpResponse get_setup(RequestContext& c) { return reply(200, setup_of(c).view(c.actor)); }

HttpResponse post_setup_action(RequestContext& c) {
  SetupManager& setup = setup_of(c);
  setup.allowed(c.actor);
  const Json action = member_or(c.data, "action", kNull);
  if (action == "save") return reply(200, setup.save(c.actor, c.data));
  if (action == "issue") return reply(200, setup.issue(c.actor, false));
  if (action == "csr") return reply(200, setup.issue(c.actor, true));
  if (action == "import") return reply(200, setup.import_certificate(c.actor, c.data));
  if (action == "distribute") return reply(200, setup.distribute(c.actor));
  if (action == "ca")
    return reply_bytes(200, setup.public_ca(c.actor), "application/pkix-cert", "halvenor-mass-communication-ca.cer");
  if (action == "ca_pem")
    return reply_bytes(200, setup.public_ca_pem(c.actor), "application/x-pem-file",
                       "halvenor-mass-communication-ca.pem");
  if (action == "browser_trust") return reply(200, setup.request_browser_trust(c.actor, member_or(c.data, "id", kNull)));
  if (action == "bundle") {
    Json id = member_or(c.data, "id", kNull);
    std::string bytes = setup.bundle(c.actor, id);
    return reply_bytes(200, std::move(bytes), "application/zip", id_text(c.data, "id") + "-agent.zip");
  }
  if (action == "enrolment_code") return reply(200, setup.create_enrolment_code(c.actor, c.data));
  if (action == "enrolment_codes") return reply(200, setup.enrolment_codes(c.actor));
  if (action == "revoke_enrolment_code")
    return reply(200, setup.revoke_enrolment_code(c.actor, member_or(c.data, "id", kNull)));
  if (action == "live_mode") {
    AccessManager* access = c.service.access;
    if (!access) throw AccessInvalid("This server was started without its configuration file and cannot change it.");
    return reply(200, switch_live_mode(c.core(), *access, c.actor, c.data));
  }
  if (action == "agent_packages") return reply(200, setup.agent_packages(c.actor));
  if (action == "agent_package") {
    const Json& name = member_or(c.data, "name", kNull);
    auto [file, bytes] = setup.agent_package(c.actor, name.is_string() ? name.get<std::string>() : std::string());
    const char* type = file.ends_with(".msi") ? "application/x-msi" : "application/vnd.debian.binary-package";
    return reply_bytes(200, std::move(bytes), type, file);
  }
  throw AccessInvalid("Unknown setup action");
}

HttpResponse get_access(RequestContext& c) { return reply(200, c.service.access->view(c.actor)); }

HttpResponse post_access_change(RequestContext& c) {
  return reply(200, c.service.access->change(c.actor, c.data, c.base_url));
}

HttpResponse post_access_import(RequestContext& c) {
  return reply(200, import_directory(c.core(), *c.service.access, c.actor, c.data));
}

HttpResponse get_access_export(RequestContext& c) {
  return reply_bytes(200, export_directory_csv(c.core(), *c.service.access, c.actor), "text/csv; charset=utf-8",
                     "halvenor-directory.csv");
}

HttpResponse post_mobile_integration(RequestContext& c) {
  return reply(200, (*c.service.mobile).operate(c.actor, c.data));
}

}  // namespace halvenor::http
