// The authenticated routes, one function each, grouped by who calls them.
#pragma once

#include "server/http/handler.h"

namespace halvenor::http {

// The deployment settings component, which the administration and agent
// routes share; throws when the service was started without it.
SetupManager& setup_of(RequestContext& c);

// Operators and auditors: alerts and oversight.
HttpResponse get_state(RequestContext& c);
HttpResponse get_audit(RequestContext& c);
HttpResponse post_dashboard(RequestContext& c);
HttpResponse post_drill_report(RequestContext& c);
HttpResponse get_drills(RequestContext& c);
HttpResponse post_drills(RequestContext& c);
HttpResponse post_history_export(RequestContext& c);
HttpResponse post_preview(RequestContext& c);
HttpResponse post_alerts(RequestContext& c);
HttpResponse post_conclude(RequestContext& c);
HttpResponse post_cancel(RequestContext& c);

// Receiving computers' agents.
HttpResponse get_agent_profile(RequestContext& c);
HttpResponse agent_channel_status(RequestContext& c);
HttpResponse get_agent_certificate(RequestContext& c);
HttpResponse get_agent_browser_trust(RequestContext& c);
HttpResponse get_agent_poll(RequestContext& c);
HttpResponse post_agent_certificate(RequestContext& c);
HttpResponse post_agent_browser_trust(RequestContext& c);
HttpResponse post_agent_receipt(RequestContext& c);

// Administration.
HttpResponse get_setup(RequestContext& c);
HttpResponse post_setup_action(RequestContext& c);
HttpResponse get_access(RequestContext& c);
HttpResponse post_access_change(RequestContext& c);
HttpResponse post_access_import(RequestContext& c);
HttpResponse get_access_export(RequestContext& c);
HttpResponse post_mobile_integration(RequestContext& c);

}  // namespace halvenor::http
