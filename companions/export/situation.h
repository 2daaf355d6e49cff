// The decision dashboard for an incident commander: how far one alert or
// incident has reached, by site and department, who has not acknowledged,
// how fast screens showed it, and where a stand-down stands.
#pragma once

#include "server/core/json_text.h"

namespace halvenor {

class Core;

// `request` is {"id": alert id} or {} for the latest live incident.
// Throws DashboardInvalid for an unknown id or bad input. Read-only.
Json situation(Core& core, const Json& request);

}  // namespace halvenor
