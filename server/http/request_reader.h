// Incremental reader of one HTTP/1.0 request: request line, header fields and
// (when announced and small enough) the body.
//
// Bytes arrive in whatever pieces the network delivers; feed() takes each
// piece as it comes and keeps only what the request needs, so the event loop
// never waits on a client. Every size is bounded before it is buffered.
//
// A request announces a body only through Content-Length holding a decimal
// integer n with 0 < n <= body_limit_for(target); then exactly n bytes are
// read. Any other Content-Length (absent, not a number, zero, too large for
// the route) means no body is read and the request is complete after its
// headers, so an oversized announcement is answered at once instead of after
// the read deadline; the request handler refuses such requests by their
// headers.
//
// Protocol faults end reading with the HTTP status the transport answers:
//   400  malformed request line, version other than HTTP/1.x, malformed or
//        folded header line, differing Content-Length values, or the
//        connection ending before the headers or the announced body arrived
//   414  request line longer than kMaxRequestLineBytes
//   431  a header line longer than kMaxHeaderLineBytes, header section longer
//        than kMaxHeaderBytes, or more than kMaxHeaderCount fields
//   501  a method other than GET or POST (answered after the request line)
//
// Not thread-safe; one reader belongs to one connection. Throws nothing but
// std::bad_alloc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "server/http/http_message.h"

namespace halvenor::http {

inline constexpr std::size_t kMaxRequestLineBytes = 8192;   // without CRLF
inline constexpr std::size_t kMaxHeaderLineBytes = 8192;    // without CRLF
inline constexpr std::size_t kMaxHeaderBytes = 65536;       // all field lines with CRLFs
inline constexpr std::size_t kMaxHeaderCount = 100;
// Empty lines tolerated before the request line (some clients send a CRLF
// after a previous request's body).
inline constexpr std::size_t kMaxLeadingEmptyLines = 4;

// Largest body each route family takes; the handler refuses larger ones by
// their announced length.
inline constexpr std::size_t kSignInBodyBytes = kMaxBodyBytes;
inline constexpr std::size_t kAcknowledgementBodyBytes = 2048;
inline constexpr std::size_t kEnrolmentBodyBytes = 2048;
inline constexpr std::size_t kApiBodyBytes = 16384;

// The body limit of the route a request target names (exact target, as the
// route table compares it).
std::size_t body_limit_for(std::string_view target);

// A Content-Length value read as a decimal integer: optional surrounding
// spaces and tabs, an optional minus sign, then digits without leading zeros
// ("0" itself aside), so that no two texts announce the same length. Values beyond
// the 64-bit range saturate (they are numbers, just too large). nullopt when
// the text is not such a number. Shared with the request handler so that both
// agree on what was announced.
std::optional<std::int64_t> parse_content_length(std::string_view text);

class RequestReader {
 public:
  enum class State { kNeedMore, kComplete, kFailed };

  // Takes the next bytes from the connection. Bytes after a complete request
  // are ignored (HTTP/1.0: one request per connection).
  State feed(std::string_view bytes);

  // The client closed its sending side. A request not yet complete fails
  // with 400, unless nothing at all had arrived (then it stays kNeedMore and
  // the connection is simply closed).
  State finish();

  State state() const { return state_; }
  // The status to answer with; meaningful when state() == kFailed.
  int error_status() const { return error_status_; }
  // True once any byte has arrived.
  bool started() const { return started_; }

  // The parsed request; call once, after state() == kComplete.
  HttpRequest take_request();

 private:
  enum class Phase { kRequestLine, kHeaders, kBody, kDone };

  State fail(int status);
  bool reject(int status);  // fail(), then false to stop reading lines
  // Handles one line without its terminator; returns false once finished.
  bool on_line(std::string_view line);
  bool on_request_line(std::string_view line);
  bool on_header_line(std::string_view line);
  bool on_headers_end();

  State state_ = State::kNeedMore;
  Phase phase_ = Phase::kRequestLine;
  int error_status_ = 0;
  bool started_ = false;
  std::size_t empty_lines_ = 0;
  std::size_t header_bytes_ = 0;
  std::size_t body_expected_ = 0;
  std::string pending_;  // bytes of the line not yet terminated
  HttpRequest request_;
};

}  // namespace halvenor::http
