#include "server/http/header_rules.h"

#include <array>
#include <string_view>

#include "server/core/errors.h"
#include "server/http/request_reader.h"

namespace halvenor::http {
namespace {

constexpr std::array<std::string_view, 6> kSingleFields = {"Host",   "Authorization", "Content-Length",
                                                           "Content-Type", "Origin", "Idempotency-Key"};

bool same_name(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c | 0x20) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

}  // namespace

void refuse_ambiguous_headers(const HttpRequest& request) {
  std::array<int, kSingleFields.size()> seen{};
  for (const auto& [name, value] : request.headers) {
    if (same_name(name, "Transfer-Encoding")) throw RequestError("Transfer-Encoding is not accepted");
    for (std::size_t i = 0; i < kSingleFields.size(); ++i) {
      if (same_name(name, kSingleFields[i]) && ++seen[i] > 1) {
        throw RequestError("repeated header: " + std::string(kSingleFields[i]));
      }
    }
    if (same_name(name, "Content-Length") && !parse_content_length(value)) {
      throw RequestError("Content-Length is not a number");
    }
  }
}

}  // namespace halvenor::http
