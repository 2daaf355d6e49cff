// This computer's name as the agent reports it at enrolment: the host name
// on Linux (gethostname), the DNS host name on Windows. Empty when the
// system does not say. Thread-safe.
#pragma once

#include <string>

namespace halvenor::platform {

std::string host_name();

}  // namespace halvenor::platform
