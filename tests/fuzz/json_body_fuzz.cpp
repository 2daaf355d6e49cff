// Fuzz target: request body decoding (UTF-8/16/32 detection, strict JSON).
// Invariants: any accepted document re-encodes in every form, the encodings
// are pure ASCII, and the field form parses back to an equal document.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "base/errors.h"
#include "base/json_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halvenor;
  std::string bytes(reinterpret_cast<const char*>(data), size);
  Json value;
  try {
    value = json::parse_body(bytes);
  } catch (const RequestError&) {
    return 0;
  }
  std::string text = json::field_text(value);
  for (unsigned char c : text)
    if (c > 0x7E || (c < 0x20)) std::abort();
  json::canonical(value);
  json::hash_form(value);
  json::indented(value);
  if (json::parse_text(text) != value) std::abort();
  return 0;
}
