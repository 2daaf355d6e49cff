// The system's JSON texts.
//
// Four encodings are written, all pure ASCII (every character outside
// printable ASCII escaped, beyond the basic plane as a surrogate pair):
//   canonical   audit chain: object keys sorted by code point, no white space
//   field_text  stored alert fields and HTTP replies: ", " and ": ", keys in
//               insertion order
//   hash_form   idempotency request hash: keys sorted, ", " and ": "
//   indented    configuration file: two spaces a level, no final line break
// Integers are written in plain decimal; doubles as the shortest text that
// reads back as the same double, positional with at least one decimal digit
// for 1e-4 <= |x| < 1e16 and in exponent form (1e+16, 1.5e-05) outside.
//
// Parsing keeps key order. All functions are thread-safe (no shared state).
#pragma once

#include <nlohmann/json.hpp>
#include <cstdint>
#include <string>
#include <string_view>

namespace halvenor {

using Json = nlohmann::ordered_json;

namespace json {

std::string canonical(const Json& value);
std::string field_text(const Json& value);
std::string hash_form(const Json& value);
std::string indented(const Json& value);

// The number forms above, exposed for tests and for the few places that
// write a number outside a JSON document.
std::string format_double(double value);

// Parses UTF-8 text; a leading UTF-8 byte-order mark is skipped. Throws
// RequestError on malformed JSON, invalid UTF-8, NaN/Infinity, integers that
// do not fit 64 bits (they would silently lose precision as doubles), or a
// duplicate object key (the meaning of such a document is ambiguous).
Json parse_text(std::string_view text);

// Parses a request body: UTF-8 (optional BOM), or UTF-16/UTF-32 in either byte
// order recognised by their byte pattern, as a JSON text. Same refusals.
Json parse_body(std::string_view bytes);

// Pieces of field_text appended to a text under construction, for writers
// that produce a large reply straight from stored rows instead of building a
// document first. Each appends exactly the bytes field_text writes for the
// same value, with the same refusals.
void append_field_text(std::string& out, const Json& value);
void append_string(std::string& out, std::string_view text);  // quoted and escaped
void append_double(std::string& out, double value);
void append_integer(std::string& out, std::int64_t value);

}  // namespace json
}  // namespace halvenor
