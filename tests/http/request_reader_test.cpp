#include "server/http/request_reader.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>

namespace halvenor::http {
namespace {

using State = RequestReader::State;

// Feeds `text` in pieces of `piece` bytes, stopping once the reader decides.
State feed_in_pieces(RequestReader& reader, std::string_view text, std::size_t piece) {
  State state = State::kNeedMore;
  for (std::size_t at = 0; at < text.size() && state == State::kNeedMore; at += piece) {
    state = reader.feed(text.substr(at, piece));
  }
  return state;
}

// Status of the failure that `text` causes, or 0 when it does not fail.
int failure_of(std::string_view text) {
  RequestReader reader;
  return reader.feed(text) == State::kFailed ? reader.error_status() : 0;
}

std::string request_with_header_line(std::size_t line_bytes) {
  const std::string prefix = "X-Long: ";
  return "GET / HTTP/1.0\r\n" + prefix + std::string(line_bytes - prefix.size(), 'a') + "\r\n\r\n";
}

TEST(RequestReaderTest, ParsesRequestLineHeadersInOrderAndTrimmedValues) {
  RequestReader reader;
  ASSERT_EQ(reader.feed("GET /api/state?x=1&y=%20 HTTP/1.1\r\n"
                        "Host:127.0.0.1:8765\r\n"
                        "X-Pad: \t spaced value \t\r\n"
                        "x-pad: second\r\n"
                        "Empty:\r\n"
                        "\r\n"),
            State::kComplete);
  const HttpRequest request = reader.take_request();
  EXPECT_EQ(request.method, "GET");
  EXPECT_EQ(request.target, "/api/state?x=1&y=%20");
  EXPECT_EQ(request.version, "HTTP/1.1");
  ASSERT_EQ(request.headers.size(), 4u);
  EXPECT_EQ(request.headers[0], (std::pair<std::string, std::string>{"Host", "127.0.0.1:8765"}));
  EXPECT_EQ(request.headers[1], (std::pair<std::string, std::string>{"X-Pad", "spaced value"}));
  EXPECT_EQ(request.headers[2], (std::pair<std::string, std::string>{"x-pad", "second"}));
  EXPECT_EQ(request.headers[3], (std::pair<std::string, std::string>{"Empty", ""}));
  EXPECT_EQ(request.header("X-PAD"), "spaced value");  // first of that name
  EXPECT_EQ(request.header("empty"), "");
  EXPECT_FALSE(request.header("Host-Name").has_value());
  EXPECT_TRUE(request.body.empty());
}

TEST(RequestReaderTest, SameRequestWhateverTheNetworkSplit) {
  const std::string text =
      "\r\nPOST /api/alerts HTTP/1.0\r\nContent-Type: application/json\n"
      "Content-Length: 12\r\n\r\n{\"a\": \"\r\n\"}\nTRAILING";
  for (std::size_t piece = 1; piece <= text.size(); ++piece) {
    RequestReader reader;
    ASSERT_EQ(feed_in_pieces(reader, text, piece), State::kComplete) << "piece " << piece;
    const HttpRequest request = reader.take_request();
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/api/alerts");
    ASSERT_EQ(request.headers.size(), 2u);
    EXPECT_EQ(request.headers[0].second, "application/json");
    EXPECT_EQ(request.body, "{\"a\": \"\r\n\"}\n") << "piece " << piece;
  }
}

TEST(RequestReaderTest, ReadsBodyOnlyForSmallPositiveDecimalLength) {
  struct Case {
    const char* length;  // nullptr: no Content-Length header
    bool reads_body;
  };
  const std::string largest = std::to_string(kApiBodyBytes);
  const std::string too_large = std::to_string(kApiBodyBytes + 1);
  const Case cases[] = {
      {"5", true},           {" 5\t", true},         {"+5", false},
      {"0005", false},       {largest.c_str(), true}, {nullptr, false},
      {"0", false},          {"-5", false},          {"5x", false},
      {"0x5", false},        {"", false},            {"5 5", false},
      {too_large.c_str(), false}, {"99999999999999999999999999", false},
  };
  for (const Case& c : cases) {
    std::string text = "POST /x HTTP/1.0\r\n";
    if (c.length != nullptr) text += std::string("Content-Length: ") + c.length + "\r\n";
    text += "\r\n";
    RequestReader reader;
    const std::string label = c.length ? c.length : "(absent)";
    if (!c.reads_body) {
      // Complete straight after the headers; what follows is not body.
      ASSERT_EQ(reader.feed(text + "hello"), State::kComplete) << label;
      EXPECT_EQ(reader.take_request().body, "") << label;
      continue;
    }
    ASSERT_EQ(reader.feed(text), State::kNeedMore) << label;
    const std::size_t length = static_cast<std::size_t>(*parse_content_length(c.length));
    const std::string body(length, 'b');
    ASSERT_EQ(reader.feed(body.substr(0, length - 1)), State::kNeedMore) << label;
    ASSERT_EQ(reader.feed(body.substr(length - 1) + "extra"), State::kComplete) << label;
    EXPECT_EQ(reader.take_request().body, body) << label;
  }
}

TEST(RequestReaderTest, ContentLengthParsing) {
  EXPECT_EQ(parse_content_length("42"), 42);
  EXPECT_EQ(parse_content_length(" \t42 "), 42);
  EXPECT_EQ(parse_content_length("-7"), -7);
  EXPECT_EQ(parse_content_length("0"), 0);
  EXPECT_EQ(parse_content_length("123456789012345678901234567890"),
            std::numeric_limits<std::int64_t>::max());
  for (const char* bad : {"", " ", "+", "-", "+42", "042", "00", "4\t2", "4 2", "42a", "4.2", "1e3", "0x10", "٤٢"}) {
    EXPECT_FALSE(parse_content_length(bad).has_value()) << bad;
  }
}

TEST(RequestReaderTest, OversizedAnnouncementCompletesAtOnceByRouteLimit) {
  // The reply to an oversized body must not wait for the body (nor for the
  // read deadline), and each route family has its own limit.
  struct Case {
    const char* target;
    std::size_t limit;
  };
  for (const Case& c : {Case{"/api/alerts", kApiBodyBytes}, Case{"/api/mobile/acknowledge", 2048},
                        Case{"/api/auth/complete", kMaxBodyBytes}}) {
    const std::string head = std::string("POST ") + c.target + " HTTP/1.0\r\nContent-Length: ";
    RequestReader over;
    EXPECT_EQ(over.feed(head + std::to_string(c.limit + 1) + "\r\n\r\n"), State::kComplete) << c.target;
    RequestReader at;
    EXPECT_EQ(at.feed(head + std::to_string(c.limit) + "\r\n\r\n"), State::kNeedMore) << c.target;
  }
}

TEST(RequestReaderTest, DifferingContentLengthsAreRefused) {
  EXPECT_EQ(failure_of("POST / HTTP/1.0\r\nContent-Length: 3\r\ncontent-length: 4\r\n\r\n"), 400);
  RequestReader same;
  EXPECT_EQ(same.feed("POST / HTTP/1.0\r\nContent-Length: 3\r\nContent-Length: 3\r\n\r\nabc"),
            State::kComplete);
}

TEST(RequestReaderTest, RequestLineLimit) {
  const auto line_of = [](std::size_t bytes) {
    const std::string frame = "GET / HTTP/1.0";
    return "GET /" + std::string(bytes - frame.size(), 'a') + " HTTP/1.0";
  };
  RequestReader longest;
  EXPECT_EQ(longest.feed(line_of(kMaxRequestLineBytes) + "\r\n\r\n"), State::kComplete);
  EXPECT_EQ(failure_of(line_of(kMaxRequestLineBytes + 1) + "\r\n\r\n"), 414);
  // Refused before the line ends: the reader never buffers an unbounded line.
  RequestReader endless;
  EXPECT_EQ(feed_in_pieces(endless, "GET /" + std::string(3 * kMaxRequestLineBytes, 'a'), 1000),
            State::kFailed);
  EXPECT_EQ(endless.error_status(), 414);
}

TEST(RequestReaderTest, HeaderLimits) {
  RequestReader longest;
  EXPECT_EQ(longest.feed(request_with_header_line(kMaxHeaderLineBytes)), State::kComplete);
  EXPECT_EQ(failure_of(request_with_header_line(kMaxHeaderLineBytes + 1)), 431);

  const auto with_headers = [](std::size_t count) {
    std::string text = "GET / HTTP/1.0\r\n";
    for (std::size_t i = 0; i < count; ++i) text += "X-" + std::to_string(i) + ": v\r\n";
    return text + "\r\n";
  };
  RequestReader most;
  EXPECT_EQ(most.feed(with_headers(kMaxHeaderCount)), State::kComplete);
  EXPECT_EQ(failure_of(with_headers(kMaxHeaderCount + 1)), 431);

  // Many lines each within the line limit, together over the section limit;
  // refused without waiting for the end of the headers.
  std::string flood = "GET / HTTP/1.0\r\n";
  while (flood.size() < kMaxHeaderBytes + 100) flood += "X-Fill: " + std::string(8000, 'f') + "\r\n";
  EXPECT_EQ(failure_of(flood), 431);
}

TEST(RequestReaderTest, ObsoleteLineFoldingIsRefused) {
  EXPECT_EQ(failure_of("GET / HTTP/1.0\r\nX-A: one\r\n two\r\n\r\n"), 400);
  EXPECT_EQ(failure_of("GET / HTTP/1.0\r\nX-A: one\r\n\ttwo\r\n\r\n"), 400);
  EXPECT_EQ(failure_of("GET / HTTP/1.0\r\n continued: x\r\n\r\n"), 400);
}

TEST(RequestReaderTest, MalformedLinesAreRefused) {
  for (const char* line : {"GET /", "GET", "GET  / HTTP/1.0", "GET / HTTP/1.0 ", " GET / HTTP/1.0",
                           "GET / HTTP/2.0", "GET / HTTP/1.10", "GET / http/1.0", "GET / HTTPS/1.0",
                           "GE(T / HTTP/1.0", "GET /a\x01 HTTP/1.0", "GET /a\rb HTTP/1.0",
                           "GET\t/ HTTP/1.0"}) {
    EXPECT_EQ(failure_of(std::string(line) + "\r\n\r\n"), 400) << line;
  }
  for (const char* header : {"NoColon", ": empty-name", "Bad Name: x", "Space-Before : x",
                             "X-Ctl: a\x01z", "X-Cr: a\rb"}) {
    EXPECT_EQ(failure_of("GET / HTTP/1.0\r\n" + std::string(header) + "\r\n\r\n"), 400) << header;
  }
  RequestReader tolerant;
  EXPECT_EQ(tolerant.feed("GET / HTTP/1.0\r\nX-Tab: a\tb\r\nX-Latin: caf\xe9\r\n\r\n"),
            State::kComplete);
}

TEST(RequestReaderTest, OnlyGetAndPostAreImplemented) {
  // Decided on the request line, without waiting for headers.
  for (const char* method : {"PUT", "DELETE", "HEAD", "OPTIONS", "get", "Post"}) {
    EXPECT_EQ(failure_of(std::string(method) + " / HTTP/1.0\r\n"), 501) << method;
  }
  EXPECT_EQ(failure_of("PUT / HTTP/2.0\r\n"), 400);  // malformed first
}

TEST(RequestReaderTest, LeadingEmptyLinesAreBounded) {
  RequestReader some;
  EXPECT_EQ(some.feed(std::string(kMaxLeadingEmptyLines, '\n') + "GET / HTTP/1.0\r\n\r\n"),
            State::kComplete);
  std::string many;
  for (std::size_t i = 0; i <= kMaxLeadingEmptyLines; ++i) many += "\r\n";
  EXPECT_EQ(failure_of(many), 400);
}

TEST(RequestReaderTest, EndOfStream) {
  RequestReader silent;
  EXPECT_EQ(silent.finish(), State::kNeedMore);
  EXPECT_FALSE(silent.started());

  RequestReader mid_headers;
  ASSERT_EQ(mid_headers.feed("GET / HTTP/1.0\r\nHost: x"), State::kNeedMore);
  EXPECT_TRUE(mid_headers.started());
  EXPECT_EQ(mid_headers.finish(), State::kFailed);
  EXPECT_EQ(mid_headers.error_status(), 400);

  RequestReader short_body;
  ASSERT_EQ(short_body.feed("POST / HTTP/1.0\r\nContent-Length: 10\r\n\r\nabc"), State::kNeedMore);
  EXPECT_EQ(short_body.finish(), State::kFailed);
  EXPECT_EQ(short_body.error_status(), 400);

  RequestReader complete;
  ASSERT_EQ(complete.feed("GET / HTTP/1.0\r\n\r\n"), State::kComplete);
  EXPECT_EQ(complete.finish(), State::kComplete);
}

}  // namespace
}  // namespace halvenor::http
