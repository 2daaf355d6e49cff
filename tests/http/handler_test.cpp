// Request intake and the routes, driven in-process: a Core on a temporary
// database and hand-built requests through http::Handler::handle.
#include "server/http/handler.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/service_parts.h"
#include "base/errors.h"
#include "base/release.h"
#include "companions/setup/setup_manager.h"
#include "net/certificates.h"
#include "server/core/core.h"
#include "server/core/database.h"
#include "server/http/error_mapping.h"
#include "server/http/routes.h"
#include "tests/process/process_support.h"

namespace halvenor::http {
namespace {

namespace fs = std::filesystem;
using halvenor::testing::TempFolder;
using Headers = std::vector<std::pair<std::string, std::string>>;

constexpr int kPort = 8765;
constexpr const char* kHost = "127.0.0.1:8765";
constexpr const char* kRouteUnavailable = "Route unavailable for this role";
constexpr const char* kNoCredential = "Valid bearer credential required";
constexpr const char* kPermission = "Directory management permission required";

// Operator "op" (sms, whatsapp), auditor "aud" whose record also claims the
// mobile permissions, administrator "admin" with an empty display name,
// computers pc-1 (North) and pc-2 (South), and WhatsApp contacts of which two
// name the same provider account, one names none and one names the SMS
// account (so WhatsApp falls back to the channel's default for it).
Json base_config() {
  return Json::parse(R"({
    "mode": "test", "provider": "mock",
    "mobile_providers": {"sms": {"driver": "mock"}, "whatsapp": {"driver": "mock"}},
    "sites": ["North", "South"],
    "users": [
      {"id": "op", "role": "operator", "display_name": "Olive Operator", "token": "op-token",
       "can_send_sms": true, "can_send_whatsapp": true},
      {"id": "aud", "role": "auditor", "token": "aud-token", "can_send_sms": true, "can_send_whatsapp": true},
      {"id": "admin", "role": "operator", "display_name": "", "token": "admin-token", "can_manage_users": true}
    ],
    "devices": [
      {"id": "pc-1", "token": "pc1-token", "site": "North", "department": "Wards"},
      {"id": "pc-2", "token": "pc2-token", "site": "South", "department": "Wards"}
    ],
    "contacts": [
      {"id": "c-1", "display_name": "Carol", "channels": ["sms", "whatsapp"], "site": "North",
       "department": "Wards", "account_id": "configured-whatsapp"},
      {"id": "c-2", "display_name": "Dan", "channels": ["whatsapp"], "site": "North", "department": "Wards",
       "account_id": "configured-whatsapp"},
      {"id": "c-3", "display_name": "Erin", "channels": ["whatsapp"], "site": "North", "department": "Wards"},
      {"id": "c-4", "display_name": "Femi", "channels": ["whatsapp"], "site": "North", "department": "Wards",
       "account_id": "configured-sms"}
    ],
    "groups": []
  })");
}

// Live desktop switched on with its assurance; "op" may send live.
Json live_config() {
  Json config = base_config();
  config["mode"] = "controlled_live";
  config["live_desktop"] = {{"enabled", true}, {"assurance_completed", true}, {"assurance_reference", "DCB0129-7"}};
  config["users"][0]["can_send_live"] = true;
  return config;
}

Json exercise(const std::string& title = "Fire drill") {
  return Json{{"test", true},          {"title", title},           {"body", "Evacuate ward 3"},
              {"severity", "critical"}, {"ttl_minutes", 15},        {"channels", {"desktop"}},
              {"sites", {"North", "South"}}};
}

std::string text_of(const HttpResponse& r) { return r.body; }

std::string header_of(const HttpResponse& r, const std::string& name) {
  for (const auto& [n, v] : r.headers)
    if (n == name) return v;
  return "<absent>";
}

std::string error_of(const HttpResponse& r) {
  Json body = json::parse_text(r.body);
  return body.is_object() && body.contains("error") ? body["error"].get<std::string>() : "<no error: " + r.body + ">";
}

class HandlerTest : public ::testing::Test {
 protected:
  // with_config_path builds the access component (it needs the file's path).
  void start(Json config, bool with_config_path = false) {
    handler_.reset();
    setup_.reset();
    parts_.reset();
    fs::path config_file = folder_.write("data/config.json", json::indented(config));
    parts_ = std::make_unique<ServiceParts>(config, (folder_.path() / "data" / "core.sqlite3").string(),
                                            with_config_path ? std::optional<std::string>(config_file.string())
                                                             : std::nullopt);
    SetupSettings settings;
    settings.url = std::string("http://") + kHost;
    setup_ = std::make_unique<SetupManager>(parts_->core(), parts_->access(), folder_.path(), settings,
                                            folder_.path() / "data");
    parts_->expose_to(service_);
    service_.setup = setup_.get();
    service_.port = kPort;
    service_.root = folder_.path();
    handler_ = std::make_unique<Handler>(service_);
  }

  HttpResponse send(const std::string& method, const std::string& target, Headers headers,
                    const std::string& body = "") {
    HttpRequest request;
    request.method = method;
    request.target = target;
    request.version = "HTTP/1.0";
    request.headers = std::move(headers);
    request.body = body;
    return handler_->handle(request);
  }

  HttpResponse get(const std::string& target, const std::string& token = "", Headers extra = {}) {
    Headers headers{{"Host", kHost}};
    if (!token.empty()) headers.emplace_back("Authorization", "Bearer " + token);
    headers.insert(headers.end(), extra.begin(), extra.end());
    return send("GET", target, std::move(headers));
  }

  // A POST whose Content-Length matches its body, as the transport delivers it.
  HttpResponse post(const std::string& target, const std::string& token, const std::string& body,
                    Headers extra = {}, const std::string& type = "application/json") {
    Headers headers{{"Host", kHost}, {"Content-Type", type}, {"Content-Length", std::to_string(body.size())}};
    if (!token.empty()) headers.emplace_back("Authorization", "Bearer " + token);
    headers.insert(headers.end(), extra.begin(), extra.end());
    return send("POST", target, std::move(headers), body);
  }
  HttpResponse post_json(const std::string& target, const std::string& token, const Json& body, Headers extra = {}) {
    return post(target, token, json::field_text(body), std::move(extra));
  }

  // A POST with an announced length that the transport would not read a body for.
  HttpResponse post_announcing(const std::string& target, const std::string& token,
                               std::optional<std::string> length, const std::string& body = "") {
    Headers headers{{"Host", kHost}, {"Content-Type", "application/json"}};
    if (length) headers.emplace_back("Content-Length", *length);
    if (!token.empty()) headers.emplace_back("Authorization", "Bearer " + token);
    return send("POST", target, std::move(headers), body);
  }

  std::string create_exercise(const std::string& key, const Json& body = exercise()) {
    HttpResponse r = post_json("/api/alerts", "op-token", body, {{"Idempotency-Key", key}});
    EXPECT_EQ(r.status, 201) << r.body;
    return json::parse_text(r.body).at("id").get<std::string>();
  }

  Json capability_of(const std::string& device) {
    DbScope scope = parts_->core().db();
    auto row = scope->query_one("SELECT live_capable, protocol FROM agent_capabilities WHERE device_id=?", {device});
    return row ? Json::array({(*row)["live_capable"], (*row)["protocol"]}) : Json();
  }

  TempFolder folder_;
  std::unique_ptr<ServiceParts> parts_;
  std::unique_ptr<SetupManager> setup_;
  ServiceContext service_;
  std::unique_ptr<Handler> handler_;
};

// --- guards ------------------------------------------------------------------

class GuardTest : public HandlerTest {
 protected:
  void SetUp() override { start(base_config()); }
};

TEST_F(GuardTest, HostMustBeOneOfTheLoopbackPairForTheBoundPort) {
  EXPECT_EQ(send("GET", "/api/version", {{"Host", "127.0.0.1:8765"}}).status, 200);
  EXPECT_EQ(send("GET", "/api/version", {{"Host", "localhost:8765"}}).status, 200);
  for (const char* host : {"127.0.0.1:8766", "localhost", "LOCALHOST:8765", "127.0.0.1:8765 ", ""}) {
    HttpResponse r = send("GET", "/api/version", {{"Host", host}});
    EXPECT_EQ(r.status, 403) << host;
    EXPECT_EQ(error_of(r), "Local host required") << host;
  }
  HttpResponse missing = send("GET", "/api/version", {});
  EXPECT_EQ(missing.status, 403);
  EXPECT_EQ(error_of(missing), "Local host required");
}

TEST_F(GuardTest, PublicHostIsTheOnlyAcceptedHost) {
  service_.allowed_hosts = {"alerts.hospital.example:8443"};
  service_.scheme = "https";
  HttpResponse loopback = send("GET", "/api/version", {{"Host", "localhost:8765"}});
  EXPECT_EQ(loopback.status, 403);
  EXPECT_EQ(error_of(loopback), "Local host required");
  EXPECT_EQ(send("GET", "/api/version", {{"Host", "127.0.0.1:8765"}}).status, 403);
  EXPECT_EQ(send("GET", "/api/version", {{"Host", "alerts.hospital.example:8443"}}).status, 200);
  EXPECT_EQ(send("GET", "/api/version",
                 {{"Host", "alerts.hospital.example:8443"}, {"Origin", "https://alerts.hospital.example:8443"}})
                .status,
            200);
  EXPECT_EQ(error_of(send("GET", "/api/version",
                          {{"Host", "alerts.hospital.example:8443"}, {"Origin", "http://alerts.hospital.example:8443"}})),
            "Same origin required");
}

TEST_F(GuardTest, OriginMustBeExactlyTheSchemeAndAnAllowedHost) {
  for (const char* origin : {"http://127.0.0.1:8765", "http://localhost:8765", ""})
    EXPECT_EQ(get("/api/version", "", {{"Origin", origin}}).status, 200) << origin;
  for (const char* origin : {"http://127.0.0.1:8765/", "https://127.0.0.1:8765", "http://127.0.0.1", "null"}) {
    HttpResponse r = get("/api/version", "", {{"Origin", origin}});
    EXPECT_EQ(r.status, 403) << origin;
    EXPECT_EQ(error_of(r), "Same origin required") << origin;
  }
  // The guards run before the public routes and before authentication.
  EXPECT_EQ(error_of(post("/api/auth/logout", "", "{}", {{"Origin", "http://evil.example"}})), "Same origin required");
}

TEST_F(GuardTest, RootWithQueryServesTheDashboardPageOtherQueriesAreNotPublic) {
  folder_.write("web/index.html", "<h1>dashboard</h1>");
  HttpResponse root = get("/?next=x");
  EXPECT_EQ(root.status, 200);
  EXPECT_EQ(root.body, "<h1>dashboard</h1>");
  EXPECT_EQ(header_of(root, "Content-Type"), "text/html; charset=utf-8");
  HttpResponse script = get("/session.js?v=2");
  EXPECT_EQ(script.status, 401);
  EXPECT_EQ(error_of(script), kNoCredential);
  // Only a GET is rewritten, and only when the target starts with "/?".
  EXPECT_EQ(post("/?next=x", "", "{}").status, 401);
  EXPECT_EQ(get("/index.html?x").status, 401);
}

TEST_F(GuardTest, BearerSchemeIsExactCaseWithOneSpace) {
  EXPECT_EQ(get("/api/state", "op-token").status, 200);
  for (const char* header : {"bearer op-token", "BEARER op-token", "Bearer  op-token", "Bearerop-token", "op-token",
                             "Basic op-token"}) {
    HttpResponse r = get("/api/state", "", {{"Authorization", header}});
    EXPECT_EQ(r.status, 401) << header;
    EXPECT_EQ(error_of(r), kNoCredential) << header;
  }
  EXPECT_EQ(get("/api/state", "wrong-token").status, 401);
  EXPECT_EQ(get("/api/state").status, 401);
}

TEST_F(GuardTest, PathsOutsideTheIndexAndFailedGatesAreUnavailableForTheRole) {
  const struct {
    const char* method;
    const char* path;
    const char* token;
  } cases[] = {
      {"GET", "/api/unknown", "op-token"},
      {"GET", "/api/state?x=1", "op-token"},  // authenticated paths match exactly too
      {"GET", "/api/alerts", "op-token"},     // POST-only path
      {"POST", "/api/agent/receipt", "op-token"},
      {"POST", "/api/agent/poll", "pc1-token"},
      {"GET", "/api/agent/profile", "op-token"},
      {"GET", "/api/state", "pc1-token"},
      {"POST", "/api/alerts", "aud-token"},
      {"POST", "/api/preview", "aud-token"},
      {"GET", "/api/access", "admin-token"},  // no access component without a configuration path
  };
  for (const auto& c : cases) {
    HttpResponse r = std::string(c.method) == "GET" ? get(c.path, c.token) : post(c.path, c.token, "{}");
    EXPECT_EQ(r.status, 403) << c.method << " " << c.path;
    EXPECT_EQ(error_of(r), kRouteUnavailable) << c.method << " " << c.path;
  }
  EXPECT_EQ(get("/api/unknown").status, 401);
}

TEST_F(GuardTest, OtherMethodsAreUnavailable) {
  HttpResponse r = send("PUT", "/api/alerts", {{"Host", kHost}, {"Authorization", "Bearer op-token"}});
  EXPECT_EQ(r.status, 403);
  EXPECT_EQ(error_of(r), kRouteUnavailable);
}

// --- reply -------------------------------------------------------------------

TEST(ReplyTest, HeadersComeInTheFixedOrder) {
  HttpResponse json_reply = reply(200, Json{{"ok", true}});
  std::vector<std::pair<std::string, std::string>> expected = {
      {"Content-Type", "application/json"},
      {"Content-Length", "12"},
      {"Cache-Control", "no-store"},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
      {"Content-Security-Policy",
       "default-src 'self'; script-src 'self'; style-src 'self'; frame-ancestors 'none'; base-uri 'none'; "
       "form-action 'self'"}};
  EXPECT_EQ(json_reply.headers, expected);
  EXPECT_EQ(json_reply.body, "{\"ok\": true}");

  HttpResponse file = reply_bytes(200, std::string("\x30\x82", 2), "application/pkix-cert", "a \"b\".cer");
  ASSERT_EQ(file.headers.size(), 8u);
  EXPECT_EQ(file.headers[0], (std::pair<std::string, std::string>{"Content-Type", "application/pkix-cert"}));
  EXPECT_EQ(file.headers[1], (std::pair<std::string, std::string>{"Content-Length", "2"}));
  // The file name goes out unchanged, nothing escaped.
  EXPECT_EQ(file.headers[2], (std::pair<std::string, std::string>{"Content-Disposition", "attachment; filename=\"a \"b\".cer\""}));
  EXPECT_EQ(file.headers[3].first, "Cache-Control");
  EXPECT_EQ(file.headers[7].first, "Content-Security-Policy");
}

TEST(ReplyTest, JsonIsAsciiWithEscapesAndLengthCountsTheEscapedBytes) {
  HttpResponse r = reply(400, Json{{"error", "Request must be 1\u201316384 bytes"}, {"who", "\xF0\x9F\x9A\x91"},
                                   {"list", {1, 2.5, nullptr}}});
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(r.body,
            "{\"error\": \"Request must be 1\\u201316384 bytes\", \"who\": \"\\ud83d\\ude91\", \"list\": [1, 2.5, null]}");
  EXPECT_EQ(header_of(r, "Content-Length"), std::to_string(r.body.size()));
}

// --- body rules --------------------------------------------------------------

class BodyRuleTest : public HandlerTest {
 protected:
  void SetUp() override { start(base_config()); }
};

TEST_F(BodyRuleTest, ContentTypeMustBeExactlyApplicationJson) {
  for (const char* type : {"application/json; charset=utf-8", "text/plain", "Application/JSON", ""}) {
    HttpResponse r = post("/api/cancel", "op-token", "{}", {}, type);
    EXPECT_EQ(r.status, 415) << type;
    EXPECT_EQ(error_of(r), "application/json required") << type;
  }
  HttpResponse none = send("POST", "/api/cancel",
                           {{"Host", kHost}, {"Authorization", "Bearer op-token"}, {"Content-Length", "2"}}, "{}");
  EXPECT_EQ(none.status, 415);
}

TEST_F(BodyRuleTest, LengthMustBeOneTo16384Bytes) {
  for (std::optional<std::string> length :
       {std::optional<std::string>("0"), std::optional<std::string>(), std::optional<std::string>("16385"),
        std::optional<std::string>("-5"), std::optional<std::string>("99999999999999999999")}) {
    HttpResponse r = post_announcing("/api/cancel", "op-token", length);
    EXPECT_EQ(r.status, 413) << length.value_or("<absent>");
    EXPECT_EQ(error_of(r), "Request must be 1\u201316384 bytes") << length.value_or("<absent>");
    EXPECT_NE(r.body.find("\\u2013"), std::string::npos);
  }
  // Exactly the limit is read and handed on to the route.
  std::string padded = "{\"id\": \"missing\"}";
  padded.insert(1, 16384 - padded.size(), ' ');
  HttpResponse at_limit = post("/api/cancel", "op-token", padded);
  EXPECT_EQ(at_limit.status, 400);
  EXPECT_EQ(error_of(at_limit), "Unknown alert");
}

TEST_F(BodyRuleTest, ContentLengthThatIsNotANumberIsAnInvalidRequest) {
  for (const char* length : {"abc", "12abc", "1.5", "", "0x10"}) {
    HttpResponse r = post_announcing("/api/cancel", "op-token", std::string(length));
    EXPECT_EQ(r.status, 400) << length;
    EXPECT_EQ(error_of(r), kInvalidRequestMessage) << length;
  }
}

TEST_F(BodyRuleTest, AmbiguousHeadersAreAnInvalidRequest) {
  const std::string body = "{\"id\": \"missing\"}";
  const std::string length = std::to_string(body.size());
  const Headers base{{"Host", kHost}, {"Content-Type", "application/json"}, {"Authorization", "Bearer op-token"}};
  const Headers extras[] = {
      {{"Content-Length", length}, {"authorization", "Bearer nobody"}},
      {{"Content-Length", length}, {"HOST", kHost}},
      {{"Content-Length", length}, {"Content-Length", length}},
      {{"Content-Length", "+" + length}},
      {{"Content-Length", "000" + length}},
      {{"Content-Length", length.substr(0, 1) + "\t" + length.substr(1)}},
      {{"Content-Length", length}, {"Transfer-Encoding", "chunked"}},
  };
  for (const Headers& extra : extras) {
    Headers headers = base;
    headers.insert(headers.end(), extra.begin(), extra.end());
    HttpResponse r = send("POST", "/api/cancel", headers, body);
    EXPECT_EQ(r.status, 400) << extra.back().first << ": " << extra.back().second;
    EXPECT_EQ(error_of(r), kInvalidRequestMessage) << extra.back().first << ": " << extra.back().second;
  }
  Headers plain = base;
  plain.emplace_back("Content-Length", length);
  EXPECT_EQ(error_of(send("POST", "/api/cancel", plain, body)), "Unknown alert");
}

TEST_F(BodyRuleTest, BodyMustBeAJsonObject) {
  HttpResponse array = post("/api/cancel", "op-token", "[]");
  EXPECT_EQ(array.status, 400);
  EXPECT_EQ(error_of(array), "JSON object required");
  HttpResponse malformed = post("/api/cancel", "op-token", "{\"id\": ");
  EXPECT_EQ(malformed.status, 400);
  EXPECT_EQ(error_of(malformed), kInvalidRequestMessage);
  // UTF-16 with its byte-order mark is recognised.
  std::string utf16 = "\xFF\xFE";
  for (char c : std::string("{\"id\": \"x\"}")) utf16 += std::string{c, '\0'};
  EXPECT_EQ(error_of(post("/api/cancel", "op-token", utf16)), "Unknown alert");
}

TEST_F(BodyRuleTest, BodyRulesApplyBeforeThePathIsLookedAt) {
  EXPECT_EQ(post("/api/nowhere", "op-token", "{}", {}, "text/plain").status, 415);
  EXPECT_EQ(post_announcing("/api/nowhere", "op-token", std::string("0")).status, 413);
  EXPECT_EQ(error_of(post("/api/nowhere", "op-token", "[1]")), "JSON object required");
  EXPECT_EQ(error_of(post("/api/nowhere", "op-token", "{}")), kRouteUnavailable);
  // Authentication still comes first.
  EXPECT_EQ(post("/api/nowhere", "", "{}", {}, "text/plain").status, 401);
}

// --- sign-in and acknowledgement ---------------------------------------------

TEST_F(BodyRuleTest, SignInRoutesHaveTheirOwnBodyRules) {
  for (const char* path : {"/api/auth/start", "/api/auth/complete", "/api/auth/logout"}) {
    HttpResponse type = post(path, "", "{}", {}, "text/plain");
    EXPECT_EQ(type.status, 415) << path;
    EXPECT_EQ(error_of(type), "JSON required") << path;
    for (std::optional<std::string> length : {std::optional<std::string>("0"), std::optional<std::string>(),
                                               std::optional<std::string>("24001"), std::optional<std::string>("-1")}) {
      HttpResponse r = post_announcing(path, "", length);
      EXPECT_EQ(r.status, 400) << path << " " << length.value_or("<absent>");
      EXPECT_EQ(error_of(r), "Invalid sign-in request size") << path;
    }
    EXPECT_EQ(error_of(post_announcing(path, "", std::string("ten"))), kInvalidRequestMessage) << path;
    HttpResponse array = post(path, "", "[]");
    EXPECT_EQ(array.status, 400) << path;
    EXPECT_EQ(error_of(array), "Invalid sign-in request") << path;
  }
  // Sizes between the API limit and the sign-in limit are within the rules.
  std::string large = "{}";
  large.insert(1, 20000, ' ');
  EXPECT_EQ(text_of(post("/api/auth/logout", "", large)), "{\"ok\": true}");
}

TEST_F(BodyRuleTest, SignInWithoutTheAccessComponent) {
  Json config = base_config();
  config["organisation_identity"] = {{"enabled", true}};
  start(config, /*with_config_path=*/false);
  EXPECT_EQ(text_of(get("/api/auth/status")), "{\"enabled\": false}");
  HttpResponse started = post("/api/auth/start", "", "{}");
  EXPECT_EQ(started.status, 400);
  EXPECT_EQ(error_of(started), "Organisation sign-in requires an installed server");
  EXPECT_EQ(error_of(post("/api/auth/complete", "", "{\"code\": \"x\"}")),
            "Organisation sign-in requires an installed server");
  HttpResponse logout = post("/api/auth/logout", "op-token", "{}");
  EXPECT_EQ(logout.status, 200);
  EXPECT_EQ(logout.body, "{\"ok\": true}");
}

TEST_F(BodyRuleTest, SignInStatusNeedsTheAccessComponentAndTheSwitch) {
  start(base_config(), /*with_config_path=*/true);
  EXPECT_EQ(text_of(get("/api/auth/status")), "{\"enabled\": false}");
  Json config = base_config();
  config["organisation_identity"] = {{"enabled", true}};
  start(config, /*with_config_path=*/true);
  EXPECT_EQ(text_of(get("/api/auth/status")), "{\"enabled\": true}");
  // With the component present the request reaches the sign-in component.
  EXPECT_NE(error_of(post("/api/auth/start", "", "{}")), "Organisation sign-in requires an installed server");
}

TEST_F(BodyRuleTest, AcknowledgementHasItsOwnBodyRules) {
  HttpResponse type = post("/api/mobile/acknowledge", "", "{}", {}, "text/plain");
  EXPECT_EQ(type.status, 415);
  EXPECT_EQ(error_of(type), "application/json required");
  for (std::optional<std::string> length :
       {std::optional<std::string>("0"), std::optional<std::string>(), std::optional<std::string>("2049")}) {
    HttpResponse r = post_announcing("/api/mobile/acknowledge", "", length);
    EXPECT_EQ(r.status, 413) << length.value_or("<absent>");
    EXPECT_EQ(error_of(r), "Invalid acknowledgement size");
  }
  std::string too_long = "{\"token\": \"t\", \"confirmed\": true}";
  too_long.insert(1, 2049 - too_long.size(), ' ');
  EXPECT_EQ(post("/api/mobile/acknowledge", "", too_long).status, 413);

  for (const char* body : {"{\"token\": \"t\", \"confirmed\": true, \"device\": \"pc-1\"}", "{\"token\": \"t\"}",
                           "[\"token\", \"confirmed\"]", "{}"}) {
    HttpResponse r = post("/api/mobile/acknowledge", "", std::string(body));
    EXPECT_EQ(r.status, 400) << body;
    EXPECT_EQ(error_of(r), "Invalid acknowledgement request.") << body;
  }
  // The right keys reach the acknowledgement component, which judges the token.
  std::string exact = "{\"confirmed\": true, \"token\": \"unknown\"}";
  exact.insert(1, 2048 - exact.size(), ' ');
  HttpResponse reached = post("/api/mobile/acknowledge", "", exact);
  EXPECT_EQ(reached.status, 400);
  EXPECT_EQ(error_of(reached), "This acknowledgement link is not valid.");
}

// --- public files ------------------------------------------------------------

struct PublicFile {
  const char* path;
  const char* file;  // under the program folder
  const char* type;
};

constexpr PublicFile kPublicFiles[] = {
    {"/legal/EULA-DRAFT.html", "web/legal/EULA-DRAFT.html", "text/html; charset=utf-8"},
    {"/legal/EULA-DRAFT.md", "web/legal/EULA-DRAFT.md", "text/plain; charset=utf-8"},
    {"/legal/index.html", "web/legal/index.html", "text/html; charset=utf-8"},
    {"/legal/legal.css", "web/legal/legal.css", "text/css; charset=utf-8"},
    {"/legal/MICROSOFT-RUNTIME-ADDENDUM-DRAFT.html", "web/legal/MICROSOFT-RUNTIME-ADDENDUM-DRAFT.html",
     "text/html; charset=utf-8"},
    {"/legal/MICROSOFT-RUNTIME-ADDENDUM-DRAFT.md", "web/legal/MICROSOFT-RUNTIME-ADDENDUM-DRAFT.md",
     "text/plain; charset=utf-8"},
    {"/legal/PRIVACY-NOTICE-DRAFT.html", "web/legal/PRIVACY-NOTICE-DRAFT.html", "text/html; charset=utf-8"},
    {"/legal/PRIVACY-NOTICE-DRAFT.md", "web/legal/PRIVACY-NOTICE-DRAFT.md", "text/plain; charset=utf-8"},
    {"/third-party.html", "web/third-party.html", "text/html; charset=utf-8"},
    {"/third-party-source.tar.gz", "web/third-party-source.tar.gz", "application/gzip"},
    {"/help.html", "web/help.html", "text/html; charset=utf-8"},
    {"/mobile-provider-help.html", "web/mobile-provider-help.html", "text/html; charset=utf-8"},
    {"/help.js", "web/help.js", "text/javascript; charset=utf-8"},
    {"/help.css", "web/help.css", "text/css; charset=utf-8"},
    {"/favicon.ico", "assets/halvenor-communications-dashboard.ico", "image/x-icon"},
    {"/dashboard-icon.png", "assets/halvenor-communications-dashboard.png", "image/png"},
    {"/manifest.webmanifest", "web/manifest.webmanifest", "application/manifest+json"},
    {"/", "web/index.html", "text/html; charset=utf-8"},
    {"/dom.js", "web/dom.js", "text/javascript; charset=utf-8"},
    {"/text.js", "web/text.js", "text/javascript; charset=utf-8"},
    {"/time.js", "web/time.js", "text/javascript; charset=utf-8"},
    {"/delivery_status.js", "web/delivery_status.js", "text/javascript; charset=utf-8"},
    {"/json_view.js", "web/json_view.js", "text/javascript; charset=utf-8"},
    {"/names.js", "web/names.js", "text/javascript; charset=utf-8"},
    {"/api.js", "web/api.js", "text/javascript; charset=utf-8"},
    {"/state_poll.js", "web/state_poll.js", "text/javascript; charset=utf-8"},
    {"/session.js", "web/session.js", "text/javascript; charset=utf-8"},
    {"/banner.js", "web/banner.js", "text/javascript; charset=utf-8"},
    {"/getting_started.js", "web/getting_started.js", "text/javascript; charset=utf-8"},
    {"/alerts.js", "web/alerts.js", "text/javascript; charset=utf-8"},
    {"/computers.js", "web/computers.js", "text/javascript; charset=utf-8"},
    {"/drill_report.js", "web/drill_report.js", "text/javascript; charset=utf-8"},
    {"/raise_alert.js", "web/raise_alert.js", "text/javascript; charset=utf-8"},
    {"/scheduled_drills.js", "web/scheduled_drills.js", "text/javascript; charset=utf-8"},
    {"/menu.js", "web/menu.js", "text/javascript; charset=utf-8"},
    {"/identity.js", "web/identity.js", "text/javascript; charset=utf-8"},
    {"/mobile.js", "web/mobile.js", "text/javascript; charset=utf-8"},
    {"/dashboard.js", "web/dashboard.js", "text/javascript; charset=utf-8"},
    {"/setup.js", "web/setup.js", "text/javascript; charset=utf-8"},
    {"/access.js", "web/access.js", "text/javascript; charset=utf-8"},
    {"/mobile_connections.js", "web/mobile_connections.js", "text/javascript; charset=utf-8"},
    {"/whatsapp_setup.js", "web/whatsapp_setup.js", "text/javascript; charset=utf-8"},
    {"/style.css", "web/style.css", "text/css; charset=utf-8"},
    {"/acknowledge", "web/acknowledge.html", "text/html; charset=utf-8"},
    {"/acknowledge.js", "web/acknowledge.js", "text/javascript; charset=utf-8"},
};

class PublicFileTest : public HandlerTest {
 protected:
  void SetUp() override {
    start(base_config());
    // Each file holds its own name and a byte that text handling would spoil.
    for (const auto& f : kPublicFiles) folder_.write(f.file, std::string(f.file) + std::string("\0\xff", 2));
  }
};

TEST_F(PublicFileTest, EveryListedPathIsServedFromItsFileWithItsType) {
  for (const auto& f : kPublicFiles) {
    HttpResponse r = get(f.path);
    EXPECT_EQ(r.status, 200) << f.path;
    EXPECT_EQ(r.body, std::string(f.file) + std::string("\0\xff", 2)) << f.path;
    EXPECT_EQ(header_of(r, "Content-Type"), f.type) << f.path;
    EXPECT_EQ(header_of(r, "Content-Disposition"), "<absent>") << f.path;
    EXPECT_EQ(header_of(r, "Cache-Control"), "no-store") << f.path;
  }
}

TEST_F(PublicFileTest, PathsMatchExactly) {
  for (const char* path : {"/index.html", "/Help.html", "/help.html?x=1", "/legal/", "/legal/other.html", "/web/session.js",
                           "/acknowledge.html", "/../config.json", "//session.js"}) {
    HttpResponse r = get(path);
    EXPECT_EQ(r.status, 401) << path;
    EXPECT_EQ(error_of(r), kNoCredential) << path;
  }
  EXPECT_EQ(post("/", "", "{}").status, 401);
  EXPECT_EQ(post("/api/version", "", "{}").status, 401);
}

TEST_F(PublicFileTest, MissingListedFileIsAnInternalError) {
  fs::remove(folder_.path() / "web" / "help.css");
  fs::remove(folder_.path() / "assets" / "halvenor-communications-dashboard.png");
  for (const char* path : {"/help.css", "/dashboard-icon.png"}) {
    HttpResponse r = get(path);
    EXPECT_EQ(r.status, 500) << path;
    EXPECT_EQ(r.body, "{\"error\": \"Internal error; check local service and database availability\"}");
  }
}

TEST_F(PublicFileTest, VersionIsPublic) {
  HttpResponse r = get("/api/version");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body, json::field_text(Json{{"version", VERSION}, {"agent_version", AGENT_VERSION}}));
  EXPECT_EQ(header_of(r, "Content-Type"), "application/json");
}

// --- error mapping -----------------------------------------------------------

template <typename E>
ErrorReply mapped(E error) {
  try {
    throw error;
  } catch (...) {
    return map_current_exception();
  }
}

TEST(ErrorMappingTest, EachFailureKindHasItsStatusAndMessage) {
  const std::vector<ErrorReply> own_message = {
      mapped(Invalid("m1")),          mapped(ExportInvalid("m2")),    mapped(DashboardInvalid("m3")),
      mapped(AccessInvalid("m4")),    mapped(MobileAckInvalid("m5")), mapped(IdentityError("m6")),
      mapped(ConnectorError("m7")),   mapped(TemplateError("m8"))};
  for (std::size_t i = 0; i < own_message.size(); ++i) {
    EXPECT_EQ(own_message[i].status, 400);
    EXPECT_EQ(own_message[i].message, "m" + std::to_string(i + 1));
  }
  ErrorReply denied = mapped(AccessDenied("internal detail"));
  EXPECT_EQ(denied.status, 403);
  EXPECT_EQ(denied.message, kPermission);

  Json text = "five";
  Json object = Json::object();
  const std::vector<ErrorReply> generic = {
      mapped(RequestError("bad body")), mapped(MissingKey("users")),
      [&] {
        try {
          (void)text.get<int>();
        } catch (...) {
          return map_current_exception();
        }
        return ErrorReply{0, ""};
      }(),
      [&] {
        try {
          (void)object.at("title");
        } catch (...) {
          return map_current_exception();
        }
        return ErrorReply{0, ""};
      }()};
  for (const auto& e : generic) {
    EXPECT_EQ(e.status, 400);
    EXPECT_EQ(e.message, kInvalidRequestMessage);
  }
  for (const auto& e : {mapped(std::runtime_error("disk")), mapped(DatabaseError("locked", 5)), mapped(42),
                        mapped(ProviderConfigurationError("x"))}) {
    EXPECT_EQ(e.status, 500);
    EXPECT_EQ(e.message, kInternalErrorMessage);
  }
}

// --- alert and oversight routes ----------------------------------------------

class AlertRouteTest : public HandlerTest {
 protected:
  void SetUp() override { start(base_config()); }
};

TEST_F(AlertRouteTest, StateAddsTheCallerFieldsAfterTheSnapshot) {
  HttpResponse r = get("/api/state", "op-token");
  ASSERT_EQ(r.status, 200) << r.body;
  Json state = json::parse_text(r.body);
  std::vector<std::string> keys;
  for (auto it = state.begin(); it != state.end(); ++it) keys.push_back(it.key());
  ASSERT_GE(keys.size(), 6u);
  EXPECT_EQ(keys.front(), "mode");
  EXPECT_EQ(std::vector<std::string>(keys.end() - 6, keys.end()),
            (std::vector<std::string>{"current_user", "role", "can_send_live", "can_send_sms", "can_send_whatsapp",
                                      "can_manage_users"}));
  EXPECT_EQ(state["current_user"], (Json{{"id", "op"}, {"display_name", "Olive Operator"}}));
  EXPECT_EQ(state["role"], "operator");
  EXPECT_EQ(state["can_send_live"], false);
  EXPECT_EQ(state["can_send_sms"], true);
  EXPECT_EQ(state["can_send_whatsapp"], true);
  EXPECT_EQ(state["can_manage_users"], false);
}

TEST_F(AlertRouteTest, StateCallerFieldsFollowTheUserRecord) {
  Json config = base_config();
  config["users"][0]["can_send_live"] = true;
  // A disabled record for "op2" comes first; the record op2 signs in with
  // decides, as it does when op2 raises an alert.
  config["users"].push_back({{"id", "op2"}, {"role", "operator"}, {"enabled", false}, {"token", "old-op2-token"},
                             {"can_send_sms", true}, {"can_send_whatsapp", true}});
  config["users"].push_back({{"id", "op2"}, {"role", "operator"}, {"token", "op2-token"}, {"can_send_sms", true},
                             {"can_send_whatsapp", true}});
  start(config, /*with_config_path=*/true);

  Json op = json::parse_text(get("/api/state", "op-token").body);
  EXPECT_EQ(op["can_send_live"], true);

  Json auditor = json::parse_text(get("/api/state", "aud-token").body);
  EXPECT_EQ(auditor["role"], "auditor");
  EXPECT_EQ(auditor["current_user"], (Json{{"id", "aud"}, {"display_name", "aud"}}));  // no display_name
  EXPECT_EQ(auditor["can_send_sms"], false);
  EXPECT_EQ(auditor["can_send_whatsapp"], false);

  Json admin = json::parse_text(get("/api/state", "admin-token").body);
  EXPECT_EQ(admin["current_user"]["display_name"], "admin");  // empty display_name
  EXPECT_EQ(admin["can_manage_users"], true);
  EXPECT_EQ(admin["can_send_sms"], false);  // no can_send_sms in the record

  Json twin = json::parse_text(get("/api/state", "op2-token").body);
  EXPECT_EQ(twin["can_send_sms"], true);
  EXPECT_EQ(twin["can_send_whatsapp"], true);
}

TEST_F(AlertRouteTest, StateForAUserWithoutDirectoryEntryIsAnInternalError) {
  // Authentication always finds the entry, so the route is called directly
  // as it would be for a caller whose entry went away in between.
  HttpRequest request;
  request.method = "GET";
  request.target = "/api/state";
  RequestContext context{request, service_, "/api/state", "ghost", "operator", Json::object(), ""};
  ErrorReply error{0, ""};
  try {
    get_state(context);
  } catch (...) {
    error = map_current_exception();
  }
  EXPECT_EQ(error.status, 500);
  EXPECT_EQ(error.message, kInternalErrorMessage);
}

TEST_F(AlertRouteTest, PreviewCountsTargetedComputersSeenWithinTwoPollIntervals) {
  Json request = exercise();
  request["channels"] = {"desktop"};
  request["sites"] = {"North", "South"};
  ASSERT_EQ(get("/api/agent/poll", "pc1-token").status, 200);
  {
    DbScope scope = parts_->core().db();
    scope.conn().execute("INSERT INTO heartbeats VALUES('pc-2', ?)", {parts_->core().clock().now() - 60});
  }
  const Json coverage = json::parse_text(post_json("/api/preview", "op-token", request).body)["coverage"];
  EXPECT_EQ(coverage["computers"], 2);
  EXPECT_EQ(coverage["seen_recently"], 1);
  ASSERT_EQ(coverage["silent"].size(), 1u) << coverage;
  EXPECT_EQ(coverage["silent"][0]["id"], "pc-2");
  EXPECT_EQ(coverage["silent"][0]["department"], "Wards");
  EXPECT_TRUE(coverage["silent"][0]["last_seen"].is_number());
}

TEST_F(AlertRouteTest, AuditListsEveryRowInSequence) {
  EXPECT_EQ(json::parse_text(get("/api/audit", "aud-token").body), Json::array());
  std::string first = create_exercise("key-00000001");
  std::string second = create_exercise("key-00000002", exercise("Second drill"));
  Json rows = json::parse_text(get("/api/audit", "aud-token").body);
  ASSERT_EQ(rows.size(), 2u);
  std::vector<std::string> keys;
  for (auto it = rows[0].begin(); it != rows[0].end(); ++it) keys.push_back(it.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"seq", "at", "actor", "event", "detail", "previous", "hash"}));
  EXPECT_EQ(rows[0]["actor"], "op");
  EXPECT_EQ(rows[0]["event"], "alert.created.test");
  EXPECT_EQ(rows[0]["previous"], "");
  EXPECT_EQ(rows[1]["previous"], rows[0]["hash"]);
  EXPECT_NE(rows[0]["detail"].get<std::string>().find(first), std::string::npos);
  EXPECT_NE(rows[1]["detail"].get<std::string>().find(second), std::string::npos);
  EXPECT_LT(rows[0]["seq"].get<long long>(), rows[1]["seq"].get<long long>());
}

TEST_F(AlertRouteTest, PreviewListsDeliveriesAndOneWhatsAppPreviewPerAccount) {
  Json request = exercise();
  request["channels"] = {"whatsapp", "desktop"};
  request["sites"] = {"North"};
  HttpResponse r = post_json("/api/preview", "op-token", request);
  ASSERT_EQ(r.status, 200) << r.body;
  Json reply = json::parse_text(r.body);
  EXPECT_EQ(reply["deliveries"], Json::parse(R"([["pc-1", "desktop"], ["c-1", "whatsapp"], ["c-2", "whatsapp"],
                                                  ["c-3", "whatsapp"], ["c-4", "whatsapp"]])"));
  const Json& previews = reply["whatsapp_previews"];
  ASSERT_EQ(previews.size(), 3u) << previews;
  // One per distinct "account_id" of the contacts, in target order.
  EXPECT_EQ(previews[0]["account"], "configured-whatsapp");
  EXPECT_EQ(previews[0]["recipient"], "Carol");  // the first contact of the account
  EXPECT_EQ(previews[1]["account"], nullptr);
  EXPECT_EQ(previews[1]["recipient"], "Erin");
  EXPECT_EQ(previews[2]["account"], "configured-sms");
  EXPECT_EQ(previews[0].begin().key(), "account");
  EXPECT_NE(previews[0]["text"].get<std::string>().find("EXERCISE - Fire drill"), std::string::npos);
  // A preview stores nothing.
  EXPECT_EQ(json::parse_text(get("/api/state", "op-token").body)["alerts"], Json::array());

  Json config = base_config();
  config["mobile_providers"]["whatsapp"]["driver"] = "disabled";
  start(config);
  Json without = json::parse_text(post_json("/api/preview", "op-token", request).body);
  EXPECT_EQ(without["deliveries"].size(), 5u);
  EXPECT_EQ(without["whatsapp_previews"], Json::array());
}

TEST_F(AlertRouteTest, PreviewRefusalsComeFromValidation) {
  Json request = exercise();
  request.erase("test");
  HttpResponse r = post_json("/api/preview", "op-token", request);
  EXPECT_EQ(r.status, 400);
  EXPECT_EQ(error_of(r), "Choose Exercise or Live incident explicitly");
}

TEST_F(AlertRouteTest, CreateAnswers201AndReplaysTheSameId) {
  HttpResponse first = post_json("/api/alerts", "op-token", exercise(), {{"Idempotency-Key", "drill-key-1"}});
  ASSERT_EQ(first.status, 201) << first.body;
  Json created = json::parse_text(first.body);
  EXPECT_EQ(created.size(), 2u);
  EXPECT_EQ(created["test"], true);
  std::string id = created["id"].get<std::string>();
  EXPECT_EQ(id.size(), 36u);

  // Same key, same content written with other white space and key order.
  std::string reordered = " {\"sites\":[\"North\",\"South\"], \"channels\":[\"desktop\"], \"ttl_minutes\":15, "
                          "\"severity\":\"critical\", \"body\":\"Evacuate ward 3\", \"title\":\"Fire drill\", "
                          "\"test\":true} ";
  HttpResponse replay = post("/api/alerts", "op-token", reordered, {{"Idempotency-Key", "drill-key-1"}});
  EXPECT_EQ(replay.status, 201);
  EXPECT_EQ(json::parse_text(replay.body)["id"], id);
  EXPECT_EQ(json::parse_text(get("/api/state", "op-token").body)["alerts"].size(), 1u);

  HttpResponse changed = post_json("/api/alerts", "op-token", exercise("Other"), {{"Idempotency-Key", "drill-key-1"}});
  EXPECT_EQ(changed.status, 400);
  EXPECT_EQ(error_of(changed), "Idempotency key already used for a different request");
  HttpResponse keyless = post_json("/api/alerts", "op-token", exercise());
  EXPECT_EQ(error_of(keyless), "An Idempotency-Key of 8\u2013100 characters is required");
}

TEST_F(AlertRouteTest, CancelPassesTheIdAsText) {
  {
    DbScope scope = parts_->core().db();
    scope->execute(
        "INSERT INTO alerts(id,created,expires,author,title,body,severity,channels,targets,request_key,request_hash) "
        "VALUES('42',?,?,'op','t','b','ticker','[]','{}','k42','h')",
        {static_cast<double>(std::time(nullptr)), static_cast<double>(std::time(nullptr)) + 600});
  }
  HttpResponse unknown = post_json("/api/cancel", "op-token", Json{{"id", 42.5}});
  EXPECT_EQ(error_of(unknown), "Unknown alert");
  EXPECT_EQ(error_of(post_json("/api/cancel", "op-token", Json::object())), "Unknown alert");

  HttpResponse r = post_json("/api/cancel", "op-token", Json{{"id", 42}});
  EXPECT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body, "{\"ok\": true}");
  DbScope scope = parts_->core().db();
  EXPECT_EQ((*scope->query_one("SELECT cancelled FROM alerts WHERE id='42'"))["cancelled"], 1);
}

TEST_F(AlertRouteTest, ConcludeStandsALiveIncidentDownOnce) {
  start(live_config());
  ASSERT_EQ(get("/api/agent/poll", "pc1-token", {{"X-Halvenor-Agent-Capability", "live-desktop-v2"}}).status, 200);
  Json incident = exercise("Power failure");
  incident["test"] = false;
  incident["sites"] = {"North"};
  incident["live_confirmation"] = "SEND LIVE ALERT";
  incident["incident_reference"] = "INC-2041";
  HttpResponse created = post_json("/api/alerts", "op-token", incident, {{"Idempotency-Key", "incident-key-1"}});
  ASSERT_EQ(created.status, 201) << created.body;
  EXPECT_EQ(json::parse_text(created.body)["test"], false);
  std::string id = json::parse_text(created.body)["id"].get<std::string>();

  EXPECT_EQ(error_of(post_json("/api/conclude", "op-token", Json{{"id", id}, {"confirmation", "conclude incident"}})),
            "Confirm the incident stand-down");
  EXPECT_EQ(error_of(post_json("/api/conclude", "op-token", Json{{"id", id}})), "Confirm the incident stand-down");
  HttpResponse concluded = post_json("/api/conclude", "op-token", Json{{"id", id}, {"confirmation", "CONCLUDE INCIDENT"}});
  ASSERT_EQ(concluded.status, 200) << concluded.body;
  Json reply = json::parse_text(concluded.body);
  ASSERT_EQ(reply.size(), 1u);
  std::string standdown = reply["id"].get<std::string>();
  EXPECT_NE(standdown, id);
  HttpResponse again = post_json("/api/conclude", "op-token", Json{{"id", id}, {"confirmation", "CONCLUDE INCIDENT"}});
  EXPECT_EQ(json::parse_text(again.body)["id"], standdown);
  EXPECT_EQ(error_of(post_json("/api/conclude", "op-token", Json{{"confirmation", "CONCLUDE INCIDENT"}})),
            "Choose an original live incident");
}

// --- agent routes ------------------------------------------------------------

class AgentRouteTest : public HandlerTest {
 protected:
  void SetUp() override { start(live_config()); }
};

TEST_F(AgentRouteTest, PollCapabilityHeadersTheCurrentOneWinsEvenWhenEmpty) {
  const struct {
    Headers headers;
    Json recorded;  // [live_capable, protocol]
  } cases[] = {
      {{{"X-Halvenor-Agent-Capability", "live-desktop-v2"}}, Json::array({1, "live-desktop-v2"})},
      {{}, Json::array({0, ""})},
      {{{"X-Agent-Capability", "live-desktop-v1"}}, Json::array({1, "live-desktop-v1"})},
      {{{"x-agent-capability", "live-desktop-v2"}}, Json::array({1, "live-desktop-v2"})},
      {{{"X-Halvenor-Agent-Capability", "desktop-v9"}, {"X-Agent-Capability", "live-desktop-v1"}},
       Json::array({0, "desktop-v9"})},
      {{{"X-Agent-Capability", "live-desktop-v1"}, {"X-Halvenor-Agent-Capability", ""}}, Json::array({0, ""})},
      {{{"X-Halvenor-Agent-Capability", "LIVE-DESKTOP-V1"}}, Json::array({0, "LIVE-DESKTOP-V1"})},
  };
  for (const auto& c : cases) {
    HttpResponse r = get("/api/agent/poll", "pc1-token", c.headers);
    EXPECT_EQ(r.status, 200) << r.body;
    EXPECT_EQ(r.body, "[]");
    EXPECT_EQ(capability_of("pc-1"), c.recorded) << c.recorded;
  }
}

TEST_F(AgentRouteTest, PollDeliversAndReceiptsAdvance) {
  std::string id = create_exercise("agent-key-1");
  Json polled = json::parse_text(get("/api/agent/poll", "pc1-token").body);
  ASSERT_EQ(polled.size(), 1u);
  EXPECT_EQ(polled[0]["id"], id);

  HttpResponse skipped = post_json("/api/agent/receipt", "pc1-token", Json{{"id", id}, {"event", "displayed"}});
  EXPECT_EQ(skipped.status, 400);
  EXPECT_EQ(error_of(skipped), "Receipt sequence must be received, displayed, acknowledged");
  EXPECT_EQ(error_of(post_json("/api/agent/receipt", "pc1-token", Json{{"id", id}})), "Invalid receipt");
  EXPECT_EQ(error_of(post_json("/api/agent/receipt", "pc1-token", Json{{"event", "received"}})),
            "Alert not assigned to this device");
  for (const char* event : {"received", "displayed", "acknowledged"}) {
    HttpResponse r = post_json("/api/agent/receipt", "pc1-token", Json{{"id", id}, {"event", event}});
    EXPECT_EQ(r.status, 200) << event << r.body;
    EXPECT_EQ(r.body, "{\"ok\": true}");
  }
  EXPECT_EQ(get("/api/agent/poll", "pc1-token").body, "[]");
  EXPECT_EQ(json::parse_text(get("/api/agent/poll", "pc2-token").body).size(), 1u);
}

TEST_F(AgentRouteTest, ProfileAndChannelStatusAreForDevices) {
  HttpResponse profile = get("/api/agent/profile", "pc1-token");
  ASSERT_EQ(profile.status, 200) << profile.body;
  EXPECT_EQ(json::parse_text(profile.body)["device"], (Json{{"display_name", "pc-1"}, {"computer_id", "pc-1"}}));
  Json status = json::parse_text(get("/api/agent/channel-status", "pc1-token").body);
  EXPECT_EQ(status, json::parse_text(post("/api/agent/channel-status", "pc1-token", "{}").body));
  EXPECT_TRUE(status.contains("channels"));
  EXPECT_EQ(error_of(get("/api/agent/channel-status", "op-token")), kRouteUnavailable);
  // The POST form still needs a body by the common rules.
  EXPECT_EQ(post_announcing("/api/agent/channel-status", "pc1-token", std::nullopt).status, 413);
}

// --- administration routes ---------------------------------------------------

class AdminRouteTest : public HandlerTest {
 protected:
  void SetUp() override { start(base_config(), /*with_config_path=*/true); }
};

TEST_F(AdminRouteTest, UnknownSetupActionIsRefusedAfterThePermissionCheck) {
  HttpResponse admin = post_json("/api/setup/action", "admin-token", Json{{"action", "export"}});
  EXPECT_EQ(admin.status, 400);
  EXPECT_EQ(error_of(admin), "Unknown setup action");
  EXPECT_EQ(error_of(post_json("/api/setup/action", "admin-token", Json::object())), "Unknown setup action");
  EXPECT_EQ(error_of(post_json("/api/setup/action", "admin-token", Json{{"action", "CA"}})), "Unknown setup action");
  for (const char* token : {"op-token", "aud-token", "pc1-token"}) {
    HttpResponse r = post_json("/api/setup/action", token, Json{{"action", "export"}});
    EXPECT_EQ(r.status, 403) << token;
    EXPECT_EQ(error_of(r), kPermission) << token;
  }
}

TEST_F(AdminRouteTest, CaActionSendsTheAuthorityAsAnAttachment) {
  double now = static_cast<double>(std::time(nullptr));
  auto key = setup::generate_ec_p256_key();
  auto ca = setup::make_ca(key.get(), "Halvenor Test Authority", now);
  folder_.write(fs::relative(setup_->ca_path(), folder_.path()).string(), setup::pem(ca.get()));

  HttpResponse r = post_json("/api/setup/action", "admin-token", Json{{"action", "ca"}});
  ASSERT_EQ(r.status, 200) << r.body;
  EXPECT_EQ(r.body, setup::der(ca.get()));
  EXPECT_EQ(header_of(r, "Content-Type"), "application/pkix-cert");
  EXPECT_EQ(header_of(r, "Content-Length"), std::to_string(r.body.size()));
  EXPECT_EQ(header_of(r, "Content-Disposition"), "attachment; filename=\"halvenor-mass-communication-ca.cer\"");
  EXPECT_EQ(r.headers[3].first, "Cache-Control");
  EXPECT_EQ(post_json("/api/setup/action", "op-token", Json{{"action", "ca"}}).status, 403);

  HttpResponse pem = post_json("/api/setup/action", "admin-token", Json{{"action", "ca_pem"}});
  ASSERT_EQ(pem.status, 200) << pem.body;
  EXPECT_EQ(setup::der(setup::cert_load(pem.body).get()), setup::der(ca.get()));
  EXPECT_EQ(header_of(pem, "Content-Disposition"), "attachment; filename=\"halvenor-mass-communication-ca.pem\"");
  EXPECT_EQ(post_json("/api/setup/action", "op-token", Json{{"action", "ca_pem"}}).status, 403);
}

TEST_F(AdminRouteTest, AccessRoutesNeedTheAccessComponent) {
  HttpResponse view = get("/api/access", "admin-token");
  ASSERT_EQ(view.status, 200) << view.body;
  EXPECT_EQ(view.body.find("admin-token"), std::string::npos);  // credentials never leave
  HttpResponse denied = get("/api/access", "op-token");
  EXPECT_EQ(denied.status, 403);
  EXPECT_EQ(error_of(denied), kPermission);

  start(base_config(), /*with_config_path=*/false);
  for (const HttpResponse& r : {get("/api/access", "admin-token"),
                                post_json("/api/access/change", "admin-token", Json{{"action", "x"}})}) {
    EXPECT_EQ(r.status, 403);
    EXPECT_EQ(error_of(r), kRouteUnavailable);
  }
}

TEST_F(AdminRouteTest, SetupViewAndMobileIntegrationDecidePermissionThemselves) {
  HttpResponse view = get("/api/setup", "admin-token");
  ASSERT_EQ(view.status, 200) << view.body;
  EXPECT_EQ(error_of(get("/api/setup", "pc1-token")), kPermission);
  EXPECT_EQ(error_of(post_json("/api/mobile/integration", "op-token", Json{{"action", "list"}})), kPermission);
  HttpResponse status = post_json("/api/mobile/integration", "admin-token", Json{{"action", "list"}});
  EXPECT_EQ(status.status, 200) << status.body;
}

}  // namespace
}  // namespace halvenor::http
