#include "server/core/contact_directory.h"

#include <ctime>
#include <optional>

#include "server/core/config_snapshot.h"

namespace halvenor {
namespace {

std::optional<int> minutes_of(const Json& value) {
  if (!value.is_string()) return std::nullopt;
  const std::string& s = value.get_ref<const std::string&>();
  if (s.size() != 5 || s[2] != ':') return std::nullopt;
  for (int i : {0, 1, 3, 4})
    if (s[i] < '0' || s[i] > '9') return std::nullopt;
  int h = (s[0] - '0') * 10 + (s[1] - '0');
  int m = (s[3] - '0') * 10 + (s[4] - '0');
  if (h > 23 || m > 59) return std::nullopt;
  return h * 60 + m;
}

bool day_listed(const Json& days, int weekday) {
  static const char* kNames[] = {"sun", "mon", "tue", "wed", "thu", "fri", "sat"};
  for (const Json& d : days)
    if (d == kNames[weekday]) return true;
  return false;
}

}  // namespace

bool contact_active(const Json& entry, const Json& /*config*/, double now) {
  if (!truthy(member_or(entry, "enabled", kTrue))) return false;
  if (truthy(member_or(entry, "removed", kFalse))) return false;
  const Json& window = member_or(entry, "on_call", kNull);
  if (!window.is_object()) return true;
  auto start = minutes_of(member_or(window, "start", kNull));
  auto end = minutes_of(member_or(window, "end", kNull));
  if (!start || !end) return true;
  std::time_t t = static_cast<std::time_t>(now);
  std::tm local{};
  localtime_r(&t, &local);
  int minute = local.tm_hour * 60 + local.tm_min;
  const Json& days = member_or(window, "days", kNull);
  bool all_days = !days.is_array() || days.empty();
  if (*start <= *end) {
    return minute >= *start && minute < *end && (all_days || day_listed(days, local.tm_wday));
  }
  // Over midnight: the evening part belongs to today, the morning part to yesterday.
  if (minute >= *start) return all_days || day_listed(days, local.tm_wday);
  if (minute < *end) return all_days || day_listed(days, (local.tm_wday + 6) % 7);
  return false;
}

bool international_number(const std::string& number) {
  if (number.size() < 1 + kMinPhoneDigits || number.size() > 1 + kMaxPhoneDigits) return false;
  if (number[0] != '+' || number[1] == '0') return false;
  for (std::size_t i = 1; i < number.size(); ++i)
    if (number[i] < '0' || number[i] > '9') return false;
  return true;
}

std::optional<std::string> contact_phone(const Json& entry) {
  const Json& phone = member_or(entry, "phone", kNull);
  if (!phone.is_string() || !international_number(phone.get<std::string>())) return std::nullopt;
  return phone.get<std::string>();
}

}  // namespace halvenor
