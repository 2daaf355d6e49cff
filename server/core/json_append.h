// Pieces of json::field_text appended to a text under construction, for
// writers that produce a large reply straight from stored rows instead of
// building a document first. Each appends exactly the bytes field_text writes
// for the same value; errors as field_text (RequestError for text that is not
// valid UTF-8, for NaN and Infinity).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "server/core/json_text.h"

namespace halvenor::json {

void append_field_text(std::string& out, const Json& value);
void append_string(std::string& out, std::string_view text);  // quoted and escaped
void append_double(std::string& out, double value);
void append_integer(std::string& out, std::int64_t value);

}  // namespace halvenor::json
