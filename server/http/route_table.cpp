// The authenticated route index, in the order rows are tried. A row whose
// path matches but whose gate does not hold is skipped, not refused: the
// request falls through to "Route unavailable for this role".
#include "server/core/core.h"
#include "server/http/routes.h"

namespace halvenor::http {
namespace {

enum class Gate { Any, Device, People, Operator, AccessPresent };

struct Route {
  const char* method;
  const char* path;
  Gate gate;
  HttpResponse (*run)(RequestContext&);
};

constexpr Route kRoutes[] = {
    {"GET", "/api/agent/profile", Gate::Device, get_agent_profile},
    {"GET", "/api/setup", Gate::Any, get_setup},
    {"GET", "/api/agent/channel-status", Gate::Device, agent_channel_status},
    {"GET", "/api/agent/certificate", Gate::Device, get_agent_certificate},
    {"GET", "/api/agent/browser-trust", Gate::Device, get_agent_browser_trust},
    {"GET", "/api/access", Gate::AccessPresent, get_access},
    {"GET", "/api/access/export", Gate::AccessPresent, get_access_export},
    {"GET", "/api/state", Gate::People, get_state},
    {"GET", "/api/audit", Gate::People, get_audit},
    {"GET", "/api/drills", Gate::People, get_drills},
    {"GET", "/api/agent/poll", Gate::Device, get_agent_poll},
    {"POST", "/api/mobile/integration", Gate::Any, post_mobile_integration},
    {"POST", "/api/setup/action", Gate::Any, post_setup_action},
    {"POST", "/api/agent/channel-status", Gate::Device, agent_channel_status},
    {"POST", "/api/agent/certificate", Gate::Device, post_agent_certificate},
    {"POST", "/api/agent/browser-trust", Gate::Device, post_agent_browser_trust},
    {"POST", "/api/access/change", Gate::AccessPresent, post_access_change},
    {"POST", "/api/access/import", Gate::AccessPresent, post_access_import},
    {"POST", "/api/dashboard", Gate::People, post_dashboard},
    {"POST", "/api/drill-report", Gate::People, post_drill_report},
    {"POST", "/api/drills", Gate::Operator, post_drills},
    {"POST", "/api/history/export", Gate::People, post_history_export},
    {"POST", "/api/preview", Gate::Operator, post_preview},
    {"POST", "/api/alerts", Gate::Operator, post_alerts},
    {"POST", "/api/conclude", Gate::Operator, post_conclude},
    {"POST", "/api/cancel", Gate::Operator, post_cancel},
    {"POST", "/api/agent/receipt", Gate::Device, post_agent_receipt},
};

bool gate_holds(Gate gate, RequestContext& c) {
  switch (gate) {
    case Gate::Any: return true;
    case Gate::Device: return c.role == "device";
    case Gate::People: return c.role == "operator" || c.role == "auditor";
    case Gate::Operator: return c.role == "operator";
    case Gate::AccessPresent: return c.service.access != nullptr;
  }
  return false;
}

}  // namespace

std::optional<HttpResponse> authenticated_routes(RequestContext& context) {
  for (const Route& route : kRoutes) {
    if (context.request.method != route.method || context.path != route.path) continue;
    if (!gate_holds(route.gate, context)) continue;
    return route.run(context);
  }
  return std::nullopt;
}

}  // namespace halvenor::http
