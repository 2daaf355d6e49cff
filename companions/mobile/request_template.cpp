#include "companions/mobile/request_template.h"

#include "base/errors.h"

namespace halvenor {
namespace {

constexpr std::string_view kOpen = "{{";
constexpr std::string_view kClose = "}}";

bool known_placeholder(std::string_view name) {
  for (const char* p : kRequestPlaceholders)
    if (name == p) return true;
  return false;
}

// Calls `each` with the name of every placeholder in `text`; throws for an
// unterminated one.
template <typename Each>
void scan_placeholders(const std::string& text, Each each) {
  std::size_t at = 0;
  while ((at = text.find(kOpen, at)) != std::string::npos) {
    std::size_t end = text.find(kClose, at + kOpen.size());
    if (end == std::string::npos)
      throw ProviderConfigurationError("\"request_template\" has a \"{{\" without its closing \"}}\"");
    each(std::string_view(text).substr(at + kOpen.size(), end - at - kOpen.size()));
    at = end + kClose.size();
  }
}

void check_value(const Json& value, int depth, bool& has_recipient, bool& has_text) {
  if (depth > kMaxRequestTemplateDepth)
    throw ProviderConfigurationError("\"request_template\" is nested more than " +
                                     std::to_string(kMaxRequestTemplateDepth) + " levels deep");
  if (value.is_string()) {
    scan_placeholders(value.get_ref<const std::string&>(), [&](std::string_view name) {
      if (!known_placeholder(name))
        throw ProviderConfigurationError("\"request_template\" uses the unknown placeholder {{" + std::string(name) +
                                         "}}");
      if (name == "recipient") has_recipient = true;
      if (name == "text") has_text = true;
    });
  } else if (value.is_structured()) {
    for (const Json& item : value) check_value(item, depth + 1, has_recipient, has_text);
  }
}

std::string fill_text(const std::string& text, const PlaceholderValues& values) {
  std::string out;
  std::size_t at = 0;
  while (true) {
    std::size_t open = text.find(kOpen, at);
    std::size_t close = open == std::string::npos ? open : text.find(kClose, open + kOpen.size());
    if (close == std::string::npos) {
      out.append(text, at, std::string::npos);
      return out;
    }
    out.append(text, at, open - at);
    auto found = values.find(text.substr(open + kOpen.size(), close - open - kOpen.size()));
    if (found != values.end()) out += found->second;
    at = close + kClose.size();
  }
}

}  // namespace

Json default_request_template() {
  return Json{{"to", "{{recipient}}"},
              {"from", "{{sender}}"},
              {"channel", "{{channel}}"},
              {"text", "{{text}}"},
              {"template", "{{template}}"},
              {"reference", "{{idempotency_key}}"}};
}

void check_request_template(const Json& request_template) {
  if (!request_template.is_object()) throw ProviderConfigurationError("\"request_template\" must be a JSON object");
  if (json::field_text(request_template).size() > kMaxRequestTemplateBytes)
    throw ProviderConfigurationError("\"request_template\" is longer than " +
                                     std::to_string(kMaxRequestTemplateBytes) + " bytes");
  bool has_recipient = false;
  bool has_text = false;
  check_value(request_template, 0, has_recipient, has_text);
  if (!has_recipient || !has_text)
    throw ProviderConfigurationError("\"request_template\" must place {{recipient}} and {{text}}");
}

Json fill_request_template(const Json& request_template, const PlaceholderValues& values) {
  if (request_template.is_string()) return fill_text(request_template.get_ref<const std::string&>(), values);
  if (request_template.is_object()) {
    Json out = Json::object();
    for (auto it = request_template.begin(); it != request_template.end(); ++it)
      out[it.key()] = fill_request_template(*it, values);
    return out;
  }
  if (request_template.is_array()) {
    Json out = Json::array();
    for (const Json& item : request_template) out.push_back(fill_request_template(item, values));
    return out;
  }
  return request_template;
}

}  // namespace halvenor
