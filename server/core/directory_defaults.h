// The built-in department vocabulary and how receiving computers are named.
#pragma once

#include <array>
#include <string>

#include "base/json_text.h"

namespace halvenor {

// Default departments, in the order operators are used to; "Departments" is
// deliberately last rather than sorted into place.
inline const std::array<const char*, 8> DEPARTMENTS = {
    "Command Centre", "Emergency Department", "Estates", "Security", "Switchboard", "Wards",
    "Women's & Newborn Unit", "Departments"};

// Departments whose shown name differs from the stored one.
inline const Json& DEPARTMENT_LABELS() {
  static const Json labels = {{"Security", "Security Control Room"}};
  return labels;
}

// The name shown for a receiving computer.
std::string device_display_name(const Json& device);

}  // namespace halvenor
