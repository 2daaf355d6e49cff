// Whether a mobile contact should be addressed right now.
#pragma once

#include <optional>
#include <string>

#include "base/json_text.h"

namespace halvenor {

// A contact is addressed when it is active and on call (ContactView).
bool contact_active(const Json& entry, const Json& config, double now);

// Digits a number in international format may hold after its "+".
inline constexpr std::size_t kMinPhoneDigits = 7;
inline constexpr std::size_t kMaxPhoneDigits = 15;

// True for "+" followed by 7 to 15 digits, the first not 0, nothing else:
// the form gateways accept without guessing a country.
bool international_number(const std::string& number);

// The contact's "phone" when it is a number in international format.
std::optional<std::string> contact_phone(const Json& entry);

}  // namespace halvenor
