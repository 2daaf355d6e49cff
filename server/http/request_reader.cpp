#include "server/http/request_reader.h"

#include <algorithm>
#include <limits>
#include <utility>

namespace halvenor::http {
namespace {

bool is_token_char(unsigned char c) {
  if (c >= '0' && c <= '9') return true;
  if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') return true;
  return std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos;
}

bool is_token(std::string_view text) {
  if (text.empty()) return false;
  for (unsigned char c : text) {
    if (!is_token_char(c)) return false;
  }
  return true;
}

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

std::string_view trim_blanks(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

std::size_t body_limit_for(std::string_view target) {
  if (target == "/api/auth/start" || target == "/api/auth/complete" || target == "/api/auth/logout") {
    return kSignInBodyBytes;
  }
  if (target == "/api/mobile/acknowledge") return kAcknowledgementBodyBytes;
  if (target == "/api/agent/enrol") return kEnrolmentBodyBytes;
  return kApiBodyBytes;
}

std::optional<std::int64_t> parse_content_length(std::string_view text) {
  text = trim_blanks(text);
  // A minus sign stays a (refusable) number; a plus sign or leading zeros
  // would let two texts announce the same length, which proxies in front of
  // the service may read differently.
  const bool negative = !text.empty() && text.front() == '-';
  if (negative) text.remove_prefix(1);
  if (text.empty() || (text.size() > 1 && text.front() == '0')) return std::nullopt;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  std::int64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    const int digit = c - '0';
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return negative ? -value : value;
}

RequestReader::State RequestReader::fail(int status) {
  error_status_ = status;
  state_ = State::kFailed;
  pending_.clear();
  return state_;
}

RequestReader::State RequestReader::feed(std::string_view bytes) {
  if (state_ != State::kNeedMore) return state_;
  if (!bytes.empty()) started_ = true;
  while (!bytes.empty() && state_ == State::kNeedMore) {
    if (phase_ == Phase::kBody) {
      const std::size_t take = std::min(bytes.size(), body_expected_ - request_.body.size());
      request_.body.append(bytes.substr(0, take));
      if (request_.body.size() == body_expected_) {
        phase_ = Phase::kDone;
        state_ = State::kComplete;
      }
      break;
    }
    const bool in_request_line = phase_ == Phase::kRequestLine;
    const std::size_t limit = in_request_line ? kMaxRequestLineBytes : kMaxHeaderLineBytes;
    const int too_long = in_request_line ? 414 : 431;
    const std::size_t newline = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, newline);
    // One byte of slack for the CR that may precede the LF.
    const std::size_t length = pending_.size() + piece.size();
    if (length > limit + 1) return fail(too_long);
    if (!in_request_line && header_bytes_ + length > kMaxHeaderBytes) return fail(431);
    pending_.append(piece);
    if (newline == std::string_view::npos) break;
    bytes.remove_prefix(newline + 1);

    std::string line = std::move(pending_);
    pending_.clear();
    if (!in_request_line) header_bytes_ += line.size() + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.size() > limit) return fail(too_long);
    if (!in_request_line && header_bytes_ > kMaxHeaderBytes) return fail(431);
    if (!on_line(line)) break;
  }
  return state_;
}

RequestReader::State RequestReader::finish() {
  if (state_ != State::kNeedMore || !started_) return state_;
  return fail(400);
}

bool RequestReader::reject(int status) {
  fail(status);
  return false;
}

HttpRequest RequestReader::take_request() { return std::move(request_); }

bool RequestReader::on_line(std::string_view line) {
  if (phase_ == Phase::kRequestLine) {
    if (line.empty()) {
      return ++empty_lines_ <= kMaxLeadingEmptyLines || reject(400);
    }
    return on_request_line(line);
  }
  return line.empty() ? on_headers_end() : on_header_line(line);
}

bool RequestReader::on_request_line(std::string_view line) {
  // method SP request-target SP HTTP-version, single spaces only.
  const std::size_t first = line.find(' ');
  const std::size_t second = first == std::string_view::npos ? first : line.find(' ', first + 1);
  if (second == std::string_view::npos) return reject(400);
  const std::string_view method = line.substr(0, first);
  const std::string_view target = line.substr(first + 1, second - first - 1);
  const std::string_view version = line.substr(second + 1);
  if (!is_token(method) || target.empty()) return reject(400);
  for (unsigned char c : target) {
    if (is_control(c) || c == ' ') return reject(400);
  }
  if (version.size() != 8 || version.substr(0, 7) != "HTTP/1." || version[7] < '0' || version[7] > '9') {
    return reject(400);
  }
  if (method != "GET" && method != "POST") return reject(501);
  request_.method = method;
  request_.target = target;
  request_.version = version;
  phase_ = Phase::kHeaders;
  return true;
}

bool RequestReader::on_header_line(std::string_view line) {
  // A line starting with white space continues the previous one (obsolete
  // folding); accepting it invites disagreement about field values.
  if (line.front() == ' ' || line.front() == '\t') return reject(400);
  const std::size_t colon = line.find(':');
  if (colon == std::string_view::npos) return reject(400);
  const std::string_view name = line.substr(0, colon);
  if (!is_token(name)) return reject(400);
  const std::string_view value = trim_blanks(line.substr(colon + 1));
  for (unsigned char c : value) {
    if (is_control(c) && c != '\t') return reject(400);
  }
  if (request_.headers.size() >= kMaxHeaderCount) return reject(431);
  request_.headers.emplace_back(std::string(name), std::string(value));
  return true;
}

bool RequestReader::on_headers_end() {
  const std::string* length_text = nullptr;
  for (const auto& [name, value] : request_.headers) {
    if (!same_field_name(name, "Content-Length")) continue;
    if (length_text != nullptr && *length_text != value) return reject(400);
    length_text = &value;
  }
  const auto length = length_text ? parse_content_length(*length_text) : std::nullopt;
  if (length && *length > 0 && static_cast<std::uint64_t>(*length) <= body_limit_for(request_.target)) {
    body_expected_ = static_cast<std::size_t>(*length);
    request_.body.reserve(body_expected_);
    phase_ = Phase::kBody;
    return true;
  }
  phase_ = Phase::kDone;
  state_ = State::kComplete;
  return false;
}

}  // namespace halvenor::http
