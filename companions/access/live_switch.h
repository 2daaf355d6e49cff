// The administrators' switch between live alerts and exercises only.
//
// Request: {"live": false} switches the installation to exercises only, which
// any administrator may do at any time. {"live": true, "confirmation":
// "ENABLE LIVE ALERTS"} switches live desktop alerts back on; it needs an
// administrator who may also send live alerts, the confirmation typed
// exactly, and a live desktop policy that the service accepts. The change is
// the "enabled" member of the configuration's "live_desktop" policy, written
// through the access component's atomic rewrite with the audit event
// "live_desktop.switched" ({"live": true | false}) in the same transaction;
// it takes effect with the next request. Asking for the mode already in
// force writes nothing.
//
// Refusals: AccessDenied for a caller who may not manage users; AccessInvalid
// for everything else. A refused request writes nothing.
#pragma once

#include <string>

#include "base/json_text.h"

namespace halvenor {

class AccessManager;
class Core;

inline constexpr char kLiveConfirmation[] = "ENABLE LIVE ALERTS";

// Returns {"ok": true, "live": the mode now in force, "changed": bool}.
Json switch_live_mode(Core& core, AccessManager& access, const std::string& actor, const Json& request);

}  // namespace halvenor
