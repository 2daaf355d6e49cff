// Readiness of the mobile channels as receiving computers are told it.
//
// Derived from the mobile integration report alone, so the rule can be
// checked against any report, including malformed ones. Pure and thread-safe.
#pragma once

#include "base/json_text.h"

namespace halvenor {

// {"sms": STATE, "whatsapp": STATE}. A channel is ready when its report
// entry's network_delivery_enabled, credentials_verified and
// connection_verified are each exactly true; STATE is then "live" when
// live_sending_enabled is exactly true, else "test_only" when
// exercise_sending_enabled is exactly true; otherwise (not ready, or no such
// entry) "integration_required".
Json channel_readiness(const Json& report);

}  // namespace halvenor
