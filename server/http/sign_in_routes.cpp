// Sign-in, mobile acknowledgement and agent enrolment: public routes with their own body rules.
#include "base/errors.h"
#include "companions/identity/organisation_identity.h"
#include "companions/mobile/mobile_acknowledgements.h"
#include "companions/setup/setup_manager.h"
#include "server/core/core.h"
#include "server/core/directory_views.h"
#include "server/http/handler.h"
#include "server/http/request_reader.h"

namespace halvenor::http {

std::optional<HttpResponse> sign_in_routes(RequestContext& context) {
  const HttpRequest& request = context.request;
  const std::string& path = context.path;
  Core& core = context.core();
  if (request.method == "GET" && path == "/api/auth/status") {
    ConfigPtr cfg = core.config();
    bool enabled = context.service.access != nullptr && organisation_sign_in_enabled(cfg->doc());
    return reply(200, Json{{"enabled", enabled}});
  }
  if (request.method != "POST" ||
      (path != "/api/auth/start" && path != "/api/auth/complete" && path != "/api/auth/logout"))
    return std::nullopt;

  auto type = request.header("Content-Type");
  if (!type || *type != "application/json") return reply(415, Json{{"error", "JSON required"}});
  long long length = content_length(request);
  if (!(length > 0 && length <= static_cast<long long>(kSignInBodyBytes))) return reply(400, Json{{"error", "Invalid sign-in request size"}});
  Json data = body_json(request);
  if (!data.is_object()) throw IdentityError("Invalid sign-in request");

  if (path == "/api/auth/logout") {
    (*context.service.identity).logout(bearer_token(request));
    return reply(200, Json{{"ok", true}});
  }
  if (!context.service.access) throw IdentityError("Organisation sign-in requires an installed server");
  if (path == "/api/auth/start") return reply(200, (*context.service.identity).start(context.base_url));
  return reply(200, (*context.service.identity).complete(data));
}

std::optional<HttpResponse> acknowledgement_route(RequestContext& context) {
  const HttpRequest& request = context.request;
  if (request.method != "POST" || context.path != "/api/mobile/acknowledge") return std::nullopt;
  auto type = request.header("Content-Type");
  if (!type || *type != "application/json") return reply(415, Json{{"error", "application/json required"}});
  long long length = content_length(request);
  if (!(length > 0 && length <= static_cast<long long>(kAcknowledgementBodyBytes)))
    return reply(413, Json{{"error", "Invalid acknowledgement size"}});
  Json data = body_json(request);
  if (!data.is_object() || data.size() != 2 || !data.contains("token") || !data.contains("confirmed"))
    throw MobileAckInvalid("Invalid acknowledgement request.");
  return reply(200, (*context.service.acknowledgements).acknowledge_link(data["token"], data["confirmed"]));
}

std::optional<HttpResponse> enrolment_route(RequestContext& context) {
  const HttpRequest& request = context.request;
  if (request.method != "POST" || context.path != "/api/agent/enrol") return std::nullopt;
  // The reply carries a credential: never over plain HTTP.
  if (context.service.scheme != "https") throw Invalid("Enrolment is offered over HTTPS only.");
  auto type = request.header("Content-Type");
  if (!type || *type != "application/json") return reply(415, Json{{"error", "application/json required"}});
  long long length = content_length(request);
  if (!(length > 0 && length <= static_cast<long long>(kEnrolmentBodyBytes)))
    return reply(413, Json{{"error", "Invalid enrolment request size"}});
  if (!context.service.setup) throw std::runtime_error("deployment settings component is not attached");
  return reply(200, context.service.setup->enrol(body_json(request)));
}

}  // namespace halvenor::http
