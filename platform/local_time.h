// Wall-clock instants as people at the server read them: the operating
// system's local time zone, written in ISO 8601 with its UTC offset so that
// the text stays unambiguous across daylight-saving changes.
#pragma once

#include <string>

namespace halvenor::platform {

// "2024-03-01T14:05:07+01:00" for Unix seconds `seconds` (fractions are cut
// off), or empty when the instant cannot be represented.
std::string iso8601_local(double seconds);

}  // namespace halvenor::platform
