#include "server/http/header_rules.h"

#include <array>
#include <string_view>

#include "base/errors.h"
#include "server/http/request_reader.h"

namespace halvenor::http {
namespace {

constexpr std::array<std::string_view, 6> kSingleFields = {"Host",   "Authorization", "Content-Length",
                                                           "Content-Type", "Origin", "Idempotency-Key"};

}  // namespace

void refuse_ambiguous_headers(const HttpRequest& request) {
  std::array<int, kSingleFields.size()> seen{};
  for (const auto& [name, value] : request.headers) {
    if (same_field_name(name, "Transfer-Encoding")) throw RequestError("Transfer-Encoding is not accepted");
    for (std::size_t i = 0; i < kSingleFields.size(); ++i) {
      if (same_field_name(name, kSingleFields[i]) && ++seen[i] > 1) {
        throw RequestError("repeated header: " + std::string(kSingleFields[i]));
      }
    }
    if (same_field_name(name, "Content-Length") && !parse_content_length(value)) {
      throw RequestError("Content-Length is not a number");
    }
  }
}

}  // namespace halvenor::http
