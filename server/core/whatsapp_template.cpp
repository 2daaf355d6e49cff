#include "server/core/whatsapp_template.h"

#include "base/errors.h"
#include "base/text.h"

namespace halvenor {
namespace {

const TemplateVariable* find_variable(const std::string& name) {
  for (const auto& v : kTemplateVariables)
    if (name == v.name) return &v;
  return nullptr;
}

// Template names as registered with the provider, one per mode.
const char* template_name(const std::string& mode) {
  if (mode == "exercise") return "halvenor_exercise_alert";
  if (mode == "live") return "halvenor_incident_alert";
  if (mode == "standdown") return "halvenor_incident_standdown";
  throw TemplateError("Unknown WhatsApp message mode \"" + mode + "\".");
}

}  // namespace

Json clean_values(const Json& values) {
  Json cleaned = Json::object();
  if (values.is_null()) return cleaned;
  if (!values.is_object()) throw TemplateError("WhatsApp details must be a set of named template values.");
  for (auto it = values.begin(); it != values.end(); ++it) {
    const TemplateVariable* variable = find_variable(it.key());
    if (!variable) throw TemplateError("Unknown WhatsApp template value \"" + it.key() + "\".");
    if (it->is_null()) continue;
    if (!it->is_string()) throw TemplateError("WhatsApp value \"" + it.key() + "\" must be text.");
    std::string text = trim(it->get<std::string>());
    if (text.empty()) continue;
    // Providers reject template values with line breaks or tabs.
    for (char c : text)
      if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f)
        throw TemplateError("WhatsApp value \"" + it.key() + "\" must be one line of text without tabs.");
    if (code_points(text) > variable->max_characters)
      throw TemplateError("WhatsApp value \"" + it.key() + "\" is longer than " +
                          std::to_string(variable->max_characters) + " characters.");
    cleaned[it.key()] = text;
  }
  return cleaned;
}

Json render_whatsapp(const Json& title, const Json& body, const std::string& mode, const Json& values) {
  if (!title.is_string() || !body.is_string())
    throw TemplateError("WhatsApp messages need a title and a body.");
  Json cleaned = clean_values(values);
  std::string header = mode == "exercise" ? "EXERCISE - " + trim(title.get<std::string>())
                       : mode == "live"   ? "INCIDENT - " + trim(title.get<std::string>())
                                          : "STAND-DOWN - " + trim(title.get<std::string>());
  std::string text = header + "\n" + trim(body.get<std::string>());
  for (const auto& variable : kTemplateVariables) {
    if (!cleaned.contains(variable.name)) continue;
    std::string label = variable.name == std::string("contact_point") ? "Contact" :
                        variable.name == std::string("location")      ? "Location" : "Action";
    text += "\n" + label + ": " + cleaned[variable.name].get<std::string>();
  }
  if (mode == "exercise") text += "\nThis is an exercise. No real incident.";
  return Json{{"template", template_name(mode)}, {"language", "en"}, {"header", header},
              {"body", trim(body.get<std::string>())}, {"variables", cleaned}, {"text", text}};
}

}  // namespace halvenor
