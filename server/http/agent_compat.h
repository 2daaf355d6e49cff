// Compatibility with agents released before the capability header was named
// after the product.
#pragma once

namespace halvenor::http {

inline constexpr const char* AGENT_HEADER = "X-Agent-Capability";

}  // namespace halvenor::http
