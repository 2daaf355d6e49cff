// The WhatsApp message template: which values operators may fill in, and how
// an alert renders into the approved template's fields.
//
// WhatsApp only delivers business-initiated messages that follow a template
// approved in advance, so free text goes only into the known variables.
// Stateless and thread-safe.
#pragma once

#include <string>

#include "base/json_text.h"

namespace halvenor {

// Variables operators may fill in, with the longest text each may hold.
struct TemplateVariable {
  const char* name;
  std::size_t max_characters;
};
inline constexpr TemplateVariable kTemplateVariables[] = {
    {"location", 120}, {"action", 200}, {"contact_point", 120}};

// Null gives {}. Otherwise an object whose members are known variables with
// text values (null members are dropped); texts are trimmed, empty ones
// dropped, and must then be one line without tabs and within the variable's
// length. Throws TemplateError naming the value for anything else.
Json clean_values(const Json& values);

// Renders one message for `mode` "exercise", "live" or "standdown": an object
// {"template", "language", "header", "body", "text"} where "text" is what the
// recipient reads. Throws TemplateError for values it cannot render.
Json render_whatsapp(const Json& title, const Json& body, const std::string& mode, const Json& values);

}  // namespace halvenor
