// The running service over real sockets: what a client sees of the guards,
// the reply headers, the body limits and the error envelope, and that a
// client that stops half-way holds nobody up.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "base/release.h"
#include "tests/process/process_support.h"

namespace halvenor::testing {
namespace {

namespace fs = std::filesystem;

// More stalled clients than the transport has request workers.
constexpr int kStalledClients = 24;

class ServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempFolder();
    Json config = Json::parse(R"({
      "mode": "test", "provider": "mock",
      "mobile_providers": {"sms": {"driver": "mock"}, "whatsapp": {"driver": "mock"}},
      "users": [{"id": "op", "role": "operator", "display_name": "Zo\u00eb", "token": "op-token-123456"}],
      "devices": [{"id": "pc-1", "token": "pc1-token-123456", "site": "North", "department": "Wards"}],
      "contacts": [], "groups": []
    })");
    std::string config_file = folder_->write("config.json", json::indented(config)).string();
    service_ = new Service(start_service(
        {"--config", config_file, "--db", (folder_->path() / "core.sqlite3").string(), "--port", "0"}));
  }
  static void TearDownTestSuite() {
    delete service_;
    delete folder_;
  }

  static int port() { return service_->port; }
  static std::string host() { return "127.0.0.1:" + std::to_string(port()); }

  static HttpReply get(const std::string& target, std::vector<std::pair<std::string, std::string>> headers = {}) {
    headers.insert(headers.begin(), {"Host", host()});
    return http_exchange(port(), raw_request("GET", target, headers));
  }

  static HttpReply post(const std::string& target, const std::string& body,
                        std::vector<std::pair<std::string, std::string>> headers) {
    headers.insert(headers.begin(), {"Host", host()});
    return http_exchange(port(), raw_request("POST", target, headers, body));
  }

  static TempFolder* folder_;
  static Service* service_;
};

TempFolder* ServiceTest::folder_ = nullptr;
Service* ServiceTest::service_ = nullptr;

const std::vector<std::string> kReplyHeaderOrder = {
    "Server",        "Date",           "Content-Type",         "Content-Length",         "Cache-Control",
    "X-Content-Type-Options", "X-Frame-Options", "Referrer-Policy", "Content-Security-Policy"};

TEST_F(ServiceTest, ReplyHeadersComeInTheFixedOrder) {
  HttpReply r = get("/api/version");
  EXPECT_EQ(r.status_line, "HTTP/1.0 200 OK");
  EXPECT_EQ(r.header_names(), kReplyHeaderOrder);
  EXPECT_EQ(r.header("Server")->rfind(std::string("Halvenor/") + VERSION, 0), 0u) << *r.header("Server");
  EXPECT_EQ(r.header("Content-Type"), "application/json");
  EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
  EXPECT_EQ(r.header("Content-Security-Policy"),
            "default-src 'self'; script-src 'self'; style-src 'self'; frame-ancestors 'none'; base-uri 'none'; "
            "form-action 'self'");
  EXPECT_EQ(r.body, json::field_text(Json{{"version", VERSION}, {"agent_version", AGENT_VERSION}}));

  // Refusals carry the same headers; only "error" is in the body.
  HttpReply refused = get("/api/state");
  EXPECT_EQ(refused.status_line, "HTTP/1.0 401 Unauthorized");
  EXPECT_EQ(refused.header_names(), kReplyHeaderOrder);
  EXPECT_EQ(refused.body, "{\"error\": \"Valid bearer credential required\"}");
}

TEST_F(ServiceTest, NonAsciiIsEscapedAndCounted) {
  HttpReply state = get("/api/state", {{"Authorization", "Bearer op-token-123456"}});
  ASSERT_EQ(state.status, 200) << state.body;
  EXPECT_NE(state.body.find("\"display_name\": \"Zo\\u00eb\""), std::string::npos);
  for (unsigned char c : state.body) ASSERT_LT(c, 0x80);
  EXPECT_EQ(state.header("Content-Length"), std::to_string(state.body.size()));

  HttpReply limit = post("/api/cancel", "", {{"Authorization", "Bearer op-token-123456"},
                                             {"Content-Type", "application/json"}, {"Content-Length", "0"}});
  EXPECT_EQ(limit.status, 413);
  EXPECT_EQ(limit.body, "{\"error\": \"Request must be 1\\u201316384 bytes\"}");
  EXPECT_EQ(limit.header("Content-Length"), std::to_string(limit.body.size()));
}

TEST_F(ServiceTest, GuardsOverTheWire) {
  const std::string loopback_name = "localhost:" + std::to_string(port());
  EXPECT_EQ(http_exchange(port(), raw_request("GET", "/api/version", {{"Host", loopback_name}})).status, 200);
  HttpReply no_host = http_exchange(port(), raw_request("GET", "/api/version", {}));
  EXPECT_EQ(no_host.status, 403);
  EXPECT_EQ(no_host.json(), (Json{{"error", "Local host required"}}));
  HttpReply other_port =
      http_exchange(port(), raw_request("GET", "/api/version", {{"Host", "127.0.0.1:" + std::to_string(port() + 1)}}));
  EXPECT_EQ(other_port.status, 403);
  HttpReply slash = get("/api/version", {{"Origin", "http://" + host() + "/"}});
  EXPECT_EQ(slash.status, 403);
  EXPECT_EQ(slash.json(), (Json{{"error", "Same origin required"}}));
  EXPECT_EQ(get("/api/version", {{"Origin", "http://" + loopback_name}}).status, 200);

  HttpReply lower = get("/api/state", {{"Authorization", "bearer op-token-123456"}});
  EXPECT_EQ(lower.status, 401);
  HttpReply device_on_state = get("/api/state", {{"Authorization", "Bearer pc1-token-123456"}});
  EXPECT_EQ(device_on_state.status, 403);
  EXPECT_EQ(device_on_state.json(), (Json{{"error", "Route unavailable for this role"}}));
}

TEST_F(ServiceTest, BodyLimitsOverTheWire) {
  const std::vector<std::pair<std::string, std::string>> auth = {{"Authorization", "Bearer op-token-123456"}};
  auto with = [&](std::vector<std::pair<std::string, std::string>> more) {
    more.insert(more.begin(), auth.begin(), auth.end());
    return more;
  };
  HttpReply charset = post("/api/cancel", "{}", with({{"Content-Type", "application/json; charset=utf-8"},
                                                     {"Content-Length", "2"}}));
  EXPECT_EQ(charset.status, 415);
  EXPECT_EQ(charset.json(), (Json{{"error", "application/json required"}}));
  std::string over_limit = "{}";
  over_limit.insert(1, 16385 - over_limit.size(), ' ');
  HttpReply too_long = post("/api/cancel", over_limit,
                            with({{"Content-Type", "application/json"}, {"Content-Length", "16385"}}));
  EXPECT_EQ(too_long.status, 413);
  // Beyond what any route reads, the announcement alone is refused; nothing is awaited.
  HttpReply announced = post("/api/cancel", "", with({{"Content-Type", "application/json"}, {"Content-Length", "24001"}}));
  EXPECT_EQ(announced.status, 413);
  HttpReply absent = post("/api/cancel", "", with({{"Content-Type", "application/json"}}));
  EXPECT_EQ(absent.status, 413);
  HttpReply not_number = post("/api/cancel", "", with({{"Content-Type", "application/json"}, {"Content-Length", "two"}}));
  EXPECT_EQ(not_number.status, 400);
  EXPECT_EQ(not_number.json(),
            (Json{{"error", "Invalid request. Check fields, targets, test flag, receipt order and idempotency key."}}));
  HttpReply array = post("/api/cancel", "[]", with({{"Content-Type", "application/json"}, {"Content-Length", "2"}}));
  EXPECT_EQ(array.status, 400);
  EXPECT_EQ(array.json(), (Json{{"error", "JSON object required"}}));
  std::string ack_body = "{\"token\": \"t\", \"confirmed\": true}";
  ack_body.insert(1, 2049 - ack_body.size(), ' ');
  HttpReply ack = post("/api/mobile/acknowledge", ack_body,
                       {{"Content-Type", "application/json"}, {"Content-Length", "2049"}});
  EXPECT_EQ(ack.status, 413);
  EXPECT_EQ(ack.json(), (Json{{"error", "Invalid acknowledgement size"}}));
  HttpReply sign_in = post("/api/auth/start", "[]", {{"Content-Type", "application/json"}, {"Content-Length", "2"}});
  EXPECT_EQ(sign_in.status, 400);
  EXPECT_EQ(sign_in.json(), (Json{{"error", "Invalid sign-in request"}}));
}

TEST_F(ServiceTest, PublicFilesComeFromTheProgramFolder) {
  std::ifstream in(fs::path(HALVENOR_DIST_DIR) / "web" / "index.html", std::ios::binary);
  std::ostringstream index;
  index << in.rdbuf();
  for (const char* target : {"/", "/?next=%2Fhelp.html"}) {
    HttpReply r = get(target);
    EXPECT_EQ(r.status, 200) << target;
    EXPECT_EQ(r.header("Content-Type"), "text/html; charset=utf-8");
    EXPECT_EQ(r.body, index.str()) << target;
  }
  EXPECT_EQ(get("/index.html").status, 401);
  EXPECT_EQ(get("/session.js?v=2").status, 401);
}

// Clients that send half a request, hold more workers than the transport
// has, and still do not delay a complete request. Nothing is timed: the
// complete request is answered while every stalled client is still
// unanswered, which a service that waited for them (until their read
// deadline) could not do.
TEST_F(ServiceTest, StalledClientsDoNotHoldUpOthers) {
  std::vector<int> stalled;
  for (int i = 0; i < kStalledClients; ++i) {
    int fd = connect_loopback(port());
    std::string half = i % 2 == 0 ? "POST /api/alerts HTTP/1.0\r\nHost: " + host() +
                                        "\r\nContent-Type: application/json\r\nContent-Length: 100\r\n\r\n{\"ti"
                                  : "GET /api/version HTTP/1.0\r\nHost: 127.0";
    ASSERT_EQ(::send(fd, half.data(), half.size(), MSG_NOSIGNAL), static_cast<ssize_t>(half.size()));
    stalled.push_back(fd);
  }
  HttpReply r = get("/api/version");
  EXPECT_EQ(r.status, 200);
  for (int fd : stalled) {
    pollfd p{fd, POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 0), 0) << "a stalled client was answered before the complete request";
    ::close(fd);
  }
}

}  // namespace
}  // namespace halvenor::testing
