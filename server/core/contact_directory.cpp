#include "server/core/contact_directory.h"

#include <optional>

#include "server/core/config_snapshot.h"
#include "server/core/directory_views.h"

namespace halvenor {

bool contact_active(const Json& entry, const Json& /*config*/, double now) {
  const ContactView contact(entry);
  return contact.active() && contact.on_call(now);
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
