// The JSON body a gateway receives for each message, described by IT as a
// template whose text values may hold placeholders such as {{recipient}}.
//
// Placeholders are replaced inside JSON string values only, after the
// template has been parsed, so a message text can never break the structure
// of the request whatever characters it holds. Stateless and thread-safe.
#pragma once

#include <map>
#include <string>

#include "base/json_text.h"

namespace halvenor {

// Every placeholder a template may use, and what it is replaced by:
//   recipient        the phone number in international format
//   text             the whole message, acknowledgement link included
//   idempotency_key  the job id (a fresh id for a test message)
//   channel          "sms" or "whatsapp"
//   alert_id         the alert's id (empty for a test message)
//   sender           the account's "sender" setting
//   template         the WhatsApp template name for the message's mode
//   link             the acknowledgement link alone
//   mode             "exercise", "live", "standdown" or "test"
inline constexpr const char* kRequestPlaceholders[] = {
    "recipient", "text", "idempotency_key", "channel", "alert_id", "sender", "template", "link", "mode"};

// Caps the template IT may configure: its JSON text and its nesting.
inline constexpr std::size_t kMaxRequestTemplateBytes = 16 * 1024;
inline constexpr int kMaxRequestTemplateDepth = 8;

// The template used when an account names none.
Json default_request_template();

// Checks a template: a JSON object, within the caps above, whose strings use
// only known placeholders, with {{recipient}} and {{text}} somewhere in it.
// Throws ProviderConfigurationError naming the first problem.
void check_request_template(const Json& request_template);

using PlaceholderValues = std::map<std::string, std::string>;

// The template with every placeholder replaced by its value (a placeholder
// missing from `values` becomes the empty text).
Json fill_request_template(const Json& request_template, const PlaceholderValues& values);

}  // namespace halvenor
