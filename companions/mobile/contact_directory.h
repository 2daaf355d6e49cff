// Whether a mobile contact should be addressed right now.
#pragma once

#include "server/core/json_text.h"

namespace halvenor {

// A contact is active when it is enabled (default true), not removed, and,
// if it carries an "on_call" window, `now` falls inside it. The window is
// {"start": "HH:MM", "end": "HH:MM", "days": ["mon", ...]} in the server's
// local time; a window whose end is before its start runs over midnight, and
// "days" (optional) names the day the window starts on. A malformed window
// counts as always on call: silencing a contact by a typing error is the
// worse failure when people's safety is at stake.
bool contact_active(const Json& entry, const Json& config, double now);

}  // namespace halvenor
