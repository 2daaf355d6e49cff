#include "platform/local_time.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>

namespace halvenor::platform {

std::string iso8601_local(double seconds) {
  if (!std::isfinite(seconds)) return std::string();
  const std::time_t whole = static_cast<std::time_t>(std::floor(seconds));
  std::tm local{};
  long offset_seconds = 0;
#ifdef _WIN32
  if (localtime_s(&local, &whole) != 0) return std::string();
  long bias = 0;
  _get_timezone(&bias);
  offset_seconds = -bias + (local.tm_isdst > 0 ? 3600 : 0);
#else
  if (localtime_r(&whole, &local) == nullptr) return std::string();
  offset_seconds = local.tm_gmtoff;
#endif
  const char sign = offset_seconds < 0 ? '-' : '+';
  const long offset_minutes = std::labs(offset_seconds) / 60;
  char text[128];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d%c%02ld:%02ld", local.tm_year + 1900,
                local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, sign, offset_minutes / 60,
                offset_minutes % 60);
  return text;
}

namespace {

std::tm local_tm(std::time_t when) {
  std::tm local{};
#ifdef _WIN32
  localtime_s(&local, &when);
#else
  localtime_r(&when, &local);
#endif
  return local;
}

}  // namespace

LocalDay local_day(double seconds, int offset_days) {
  std::tm local = local_tm(static_cast<std::time_t>(std::floor(seconds)));
  // Noon keeps the day clear of any daylight-saving change while it rolls.
  local.tm_mday += offset_days;
  local.tm_hour = 12;
  local.tm_min = local.tm_sec = 0;
  local.tm_isdst = -1;
  const std::time_t noon = std::mktime(&local);
  const std::tm rolled = local_tm(noon);
  return LocalDay{rolled.tm_year + 1900, rolled.tm_mon + 1, rolled.tm_mday, rolled.tm_wday};
}

double local_instant(const LocalDay& day, int hour, int minute) {
  std::tm local{};
  local.tm_year = day.year - 1900;
  local.tm_mon = day.month - 1;
  local.tm_mday = day.day;
  local.tm_hour = hour;
  local.tm_min = minute;
  local.tm_isdst = -1;
  return static_cast<double>(std::mktime(&local));
}

}  // namespace halvenor::platform
