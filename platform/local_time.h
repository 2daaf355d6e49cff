// Wall-clock instants as people at the server read them: the operating
// system's local time zone, written in ISO 8601 with its UTC offset so that
// the text stays unambiguous across daylight-saving changes.
#pragma once

#include <string>

namespace halvenor::platform {

// "2024-03-01T14:05:07+01:00" for Unix seconds `seconds` (fractions are cut
// off), or empty when the instant cannot be represented.
std::string iso8601_local(double seconds);

// A day of the local calendar. weekday: 0 Sunday … 6 Saturday.
struct LocalDay {
  int year = 0, month = 0, day = 0, weekday = 0;
};

// The local calendar day that `offset_days` after the day holding Unix time
// `seconds` (months and years roll over as on a calendar).
LocalDay local_day(double seconds, int offset_days = 0);

// Unix time of the local wall-clock time `hour`:`minute` on `day`. Where a
// daylight-saving change skips that time, the system's choice stands (the
// time an hour later); where it repeats, the first of the two.
double local_instant(const LocalDay& day, int hour, int minute);

}  // namespace halvenor::platform
