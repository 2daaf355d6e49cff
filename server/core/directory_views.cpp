#include "server/core/directory_views.h"

#include <ctime>

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

template <typename View>
std::optional<View> speaking_for(const Json& list, const std::string& id) {
  if (!list.is_array()) return std::nullopt;
  std::optional<View> first;
  for (const Json& entry : list) {
    if (member_or(entry, "id", kNull) != id) continue;
    View view(entry);
    if (view.active()) return view;
    if (!first) first = view;
  }
  return first;
}

}  // namespace

const Json& EntryView::member(const char* key, const Json& fallback) const { return member_or(*entry_, key, fallback); }

const Json& EntryView::id() const { return member("id", kNull); }

bool EntryView::removed() const { return truthy(member("removed", kFalse)); }

bool EntryView::enabled() const { return truthy(member("enabled", kTrue)); }

bool UserView::is_operator() const { return member("role", kNull) == "operator"; }

bool UserView::granted(const char* permission) const { return exactly_true(member(permission, kNull)); }

bool UserView::signs_in_through_organisation() const { return member("identity_provider", kNull) == "entra"; }

bool ComputerView::allows_live_desktop() const { return exactly_true(member("allow_live_desktop", kTrue)); }

std::string ComputerView::display_name() const {
  const Json& name = member("display_name", kNull);
  if (truthy(name)) return name.get<std::string>();
  if (member("department", kNull) == "Security")
    return "Security Control Room (" + required(json(), "site").get<std::string>() + ")";
  return required(json(), "id").get<std::string>();
}

bool ContactView::on_call(double now) const {
  const Json& window = member("on_call", kNull);
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

const Json& GroupView::members() const { return required(*entry_, "members"); }

std::optional<UserView> find_user(const Json& users, const std::string& id) {
  return speaking_for<UserView>(users, id);
}

std::optional<ComputerView> find_computer(const Json& devices, const std::string& id) {
  return speaking_for<ComputerView>(devices, id);
}

bool may_manage_users(const Json& doc, const std::string& actor) {
  auto user = find_user(member_or(doc, "users", kEmptyArray), actor);
  return user && user->may_manage_users();
}

bool organisation_sign_in_enabled(const Json& doc) {
  return exactly_true(member_or(member_or(doc, "organisation_identity", kEmptyObject), "enabled", kNull));
}

}  // namespace halvenor
