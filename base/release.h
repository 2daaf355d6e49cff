// Release identifiers of the service and of the desktop agent that matches it.
#pragma once

namespace halvenor {

inline constexpr const char* VERSION = HALVENOR_VERSION;
inline constexpr const char* AGENT_VERSION = HALVENOR_VERSION;

}  // namespace halvenor
