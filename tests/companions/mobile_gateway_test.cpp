// The "http" driver: its settings, the request it sends, how it reads the
// gateway's answers, and TLS verification.
#include <gtest/gtest.h>

#include <ctime>

#include "app/service_parts.h"
#include "base/errors.h"
#include "companions/mobile/gateway_settings.h"
#include "companions/mobile/gateway_transport.h"
#include "companions/mobile/providers.h"
#include "companions/mobile/request_template.h"
#include "net/certificates.h"
#include "tests/companions/fake_gateway.h"
#include "tests/companions/mobile_fixture.h"

namespace halvenor::testing {
namespace {

using Answer = FakeGateway::Answer;

std::string refusal(const Json& settings) {
  try {
    parse_gateway_settings(settings);
  } catch (const ProviderConfigurationError& e) {
    return e.what();
  }
  return "";
}

Json http_settings(const std::string& url) { return Json{{"driver", "http"}, {"url", url}}; }

OutgoingMessage message_to(const std::string& phone, const std::string& key = "job-0001") {
  OutgoingMessage m;
  m.idempotency_key = key;
  m.channel = "sms";
  m.phone = phone;
  m.text = "EXERCISE - Water outage\nUse \"bottled\" water.\nAcknowledge: https://alerts.example/acknowledge#tok";
  m.link = "https://alerts.example/acknowledge#tok";
  m.alert_id = "alert-1";
  m.mode = "exercise";
  m.template_name = "halvenor_exercise_alert";
  return m;
}

// --- settings ---------------------------------------------------------------

TEST(GatewaySettings, AcceptsHttpsAndDefaults) {
  GatewaySettings s = parse_gateway_settings(http_settings("https://sms.example.net:8443/v1/send?tenant=7"));
  EXPECT_TRUE(s.url.tls);
  EXPECT_EQ(s.url.host, "sms.example.net");
  EXPECT_EQ(s.url.port, "8443");
  EXPECT_EQ(s.url.target, "/v1/send?tenant=7");
  EXPECT_EQ(s.method, "POST");
  EXPECT_EQ(s.idempotency_header, "Idempotency-Key");
  EXPECT_DOUBLE_EQ(s.timeout_seconds, kDefaultGatewayTimeoutSeconds);
  EXPECT_EQ(s.request_template, default_request_template());
}

TEST(GatewaySettings, PlainHttpOnlyToThisMachine) {
  EXPECT_EQ(refusal(http_settings("http://127.0.0.1:9000/send")), "");
  EXPECT_EQ(refusal(http_settings("http://localhost/send")), "");
  EXPECT_EQ(refusal(http_settings("http://[::1]:9000/send")), "");
  EXPECT_NE(refusal(http_settings("http://sms.example.net/send")).find("https://"), std::string::npos);
  EXPECT_NE(refusal(http_settings("http://10.0.0.5/send")).find("https://"), std::string::npos);
}

TEST(GatewaySettings, RefusesUnusableSettingsWithTheirName) {
  EXPECT_NE(refusal(Json{{"driver", "http"}}).find("\"url\" is required"), std::string::npos);
  EXPECT_NE(refusal(http_settings("ftp://x.example")).find("https://"), std::string::npos);
  EXPECT_NE(refusal(http_settings("https://user:pw@x.example/")).find("credential file"), std::string::npos);
  EXPECT_NE(refusal(http_settings("https://x.example:99999/")).find("port"), std::string::npos);
  EXPECT_NE(refusal(http_settings("https://x.example/a b")).find("spaces"), std::string::npos);
  Json s = http_settings("https://x.example/");
  s["credentail_file"] = "/etc/key";
  EXPECT_NE(refusal(s).find("Unknown setting \"credentail_file\""), std::string::npos);
  s = http_settings("https://x.example/");
  s["auth_header"] = "Authorization";
  EXPECT_NE(refusal(s).find("together"), std::string::npos);
  s["credential_file"] = "relative/key.txt";
  EXPECT_NE(refusal(s).find("absolute"), std::string::npos);
  s["credential_file"] = "/srv/halvenor/key.txt";
  s["auth_header"] = "Bad Header";
  EXPECT_NE(refusal(s).find("auth_header"), std::string::npos);
  s = http_settings("https://x.example/");
  s["timeout_seconds"] = 0;
  EXPECT_NE(refusal(s).find("timeout_seconds"), std::string::npos);
  s["timeout_seconds"] = "10";
  EXPECT_NE(refusal(s).find("timeout_seconds"), std::string::npos);
  s = http_settings("https://x.example/");
  s["method"] = "GET";
  EXPECT_NE(refusal(s).find("method"), std::string::npos);
  s = http_settings("https://x.example/");
  s["test_recipient"] = "07700 900123";
  EXPECT_NE(refusal(s).find("international"), std::string::npos);
  s = http_settings("https://x.example/");
  s["ca_file"] = "/nonexistent/ca.pem";
  EXPECT_NE(refusal(s).find("no PEM certificate"), std::string::npos);
}

TEST(GatewaySettings, RequestTemplateNeedsRecipientAndTextAndKnownPlaceholders) {
  Json s = http_settings("https://x.example/");
  s["request_template"] = {{"to", "{{recipient}}"}};
  EXPECT_NE(refusal(s).find("{{text}}"), std::string::npos);
  s["request_template"] = {{"to", "{{recipient}}"}, {"body", "{{text}}"}, {"x", "{{password}}"}};
  EXPECT_NE(refusal(s).find("unknown placeholder {{password}}"), std::string::npos);
  s["request_template"] = {{"to", "{{recipient}}"}, {"body", "{{text"}};
  EXPECT_NE(refusal(s).find("closing"), std::string::npos);
  s["request_template"] = Json::array({"{{recipient}}", "{{text}}"});
  EXPECT_NE(refusal(s).find("object"), std::string::npos);
  s["request_template"] = {{"message", {{"to", {"{{recipient}}"}}, {"content", "Alert: {{text}}"}}}};
  EXPECT_EQ(refusal(s), "");
}

TEST(RequestTemplate, FillsPlaceholdersInsideStringsOnly) {
  Json filled = fill_request_template(
      {{"to", "{{recipient}}"}, {"parts", {"[{{channel}}] {{text}}", 7, true}}, {"ref", "{{idempotency_key}}"}},
      {{"recipient", "+447700900001"}, {"text", "say \"hi\"}, {\"x\": 1"}, {"channel", "sms"},
       {"idempotency_key", "k1"}});
  EXPECT_EQ(filled["to"], "+447700900001");
  EXPECT_EQ(filled["parts"][0], "[sms] say \"hi\"}, {\"x\": 1");
  EXPECT_EQ(filled["parts"][1], 7);
  EXPECT_EQ(filled["ref"], "k1");
}

TEST(BuildProviders, RefusesBadProviderConfigurationNamingTheChannel) {
  auto message = [](const Json& providers) {
    try {
      build_providers(Json{{"mobile_providers", providers}});
    } catch (const ProviderConfigurationError& e) {
      return std::string(e.what());
    }
    return std::string();
  };
  EXPECT_EQ(message({{"sms", {{"driver", "mock"}}}, {"whatsapp", gateway_provider("https://wa.example/")}}), "");
  EXPECT_NE(message({{"sms", {{"driver", "http"}, {"url", "http://gw.example/"}}}}).find("Mobile provider for sms"),
            std::string::npos);
  EXPECT_NE(message({{"sms", {{"driver", "carrier-pigeon"}}}}).find("unknown driver"), std::string::npos);
  EXPECT_NE(message({{"pager", {{"driver", "mock"}}}}).find("Unknown mobile channel"), std::string::npos);
  EXPECT_NE(message({{"sms", {{"driver", "mock"}, {"url", "https://x/"}}}}).find("Unknown setting"),
            std::string::npos);
}

TEST(BuildProviders, ServiceRefusesToStartWithInvalidProviders) {
  TempFolder folder;
  Json config = mobile_config({{"sms", {{"driver", "http"}, {"url", "https://x.example/"}, {"timeout_seconds", -1}}}});
  EXPECT_THROW(ServiceParts(config, folder.file("core.sqlite3")), Invalid);
}

TEST(Credential, FirstLineIsTheHeaderValue) {
  TempFolder folder;
  EXPECT_EQ(read_credential(folder.write("key", "Bearer s3cret\r\nsecond line\n")), "Bearer s3cret");
  EXPECT_THROW(read_credential(folder.write("empty", "\n")), ConnectorError);
  EXPECT_THROW(read_credential(folder.file("missing")), ConnectorError);
  try {
    read_credential(folder.write("ctl", "Bearer a\tb"));
    FAIL();
  } catch (const ConnectorError& e) {
    EXPECT_EQ(std::string(e.what()).find("Bearer"), std::string::npos) << "the credential must never be shown";
  }
}

// --- exchanges with the gateway ----------------------------------------------

class GatewayTransportTest : public ::testing::Test {
 protected:
  GatewayTransport transport(Json extra = Json::object()) {
    Json s = http_settings(gateway.url());
    s["timeout_seconds"] = 0.5;
    for (auto it = extra.begin(); it != extra.end(); ++it) s[it.key()] = *it;
    return GatewayTransport(parse_gateway_settings(s));
  }
  FakeGateway gateway;
  TempFolder folder;
};

TEST_F(GatewayTransportTest, SendsTheTemplateWithKeyAndCredential) {
  Json extra = {{"auth_header", "Authorization"},
                {"credential_file", folder.write("key", "Bearer s3cret\n")},
                {"sender", "HOSPITAL"},
                {"request_template", {{"to", "{{recipient}}"}, {"from", "{{sender}}"}, {"body", "{{text}}"}}}};
  SendOutcome outcome = transport(extra).send(message_to("+447700900001"));
  EXPECT_EQ(outcome.kind, SendOutcome::Sent);
  EXPECT_EQ(outcome.provider_reference, "gw-1");
  ASSERT_EQ(gateway.request_count(), 1u);
  FakeGateway::Request r = gateway.requests()[0];
  EXPECT_EQ(r.method, "POST");
  EXPECT_EQ(r.target, "/messages");
  EXPECT_EQ(r.headers["authorization"], "Bearer s3cret");
  EXPECT_EQ(r.key, "job-0001");
  EXPECT_EQ(r.headers.count("x-halvenor-test"), 0u);
  EXPECT_EQ(r.json, (Json{{"to", "+447700900001"}, {"from", "HOSPITAL"}, {"body", message_to("").text}}));
}

TEST_F(GatewayTransportTest, ReadsTheCredentialAtEverySend) {
  std::string key = folder.write("key", "Bearer first\n");
  GatewayTransport t = transport({{"auth_header", "X-Api-Key"}, {"credential_file", key}});
  t.send(message_to("+447700900001", "k1"));
  folder.write("key", "Bearer rotated\n");
  t.send(message_to("+447700900001", "k2"));
  auto requests = gateway.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0].headers["x-api-key"], "Bearer first");
  EXPECT_EQ(requests[1].headers["x-api-key"], "Bearer rotated");
}

TEST_F(GatewayTransportTest, ClassifiesAnswers) {
  GatewayTransport t = transport();
  gateway.script({Answer::TooMany, Answer::ServerError, Answer::BadRequest, Answer::Unauthorized});
  SendOutcome too_many = t.send(message_to("+447700900001", "a"));
  SendOutcome server_error = t.send(message_to("+447700900001", "b"));
  SendOutcome bad_request = t.send(message_to("+447700900001", "c"));
  SendOutcome unauthorized = t.send(message_to("+447700900001", "d"));
  EXPECT_EQ(too_many.kind, SendOutcome::Retry);
  EXPECT_EQ(too_many.status, 429);
  EXPECT_EQ(server_error.kind, SendOutcome::Retry);
  EXPECT_NE(server_error.reason.find("500"), std::string::npos);
  EXPECT_EQ(bad_request.kind, SendOutcome::Failed);
  EXPECT_NE(bad_request.reason.find("400 Bad Request"), std::string::npos);
  EXPECT_EQ(unauthorized.kind, SendOutcome::Failed);
  EXPECT_EQ(unauthorized.status, 401);
}

TEST_F(GatewayTransportTest, HangAndResetAreRetriedNotFatal) {
  GatewayTransport t = transport();
  gateway.script({Answer::Hang, Answer::AcceptThenReset});
  SendOutcome hung = t.send(message_to("+447700900001", "a"));
  EXPECT_EQ(hung.kind, SendOutcome::Retry);
  EXPECT_NE(hung.reason.find("did not answer within 0.5 seconds"), std::string::npos) << hung.reason;
  SendOutcome reset = t.send(message_to("+447700900001", "b"));
  EXPECT_EQ(reset.kind, SendOutcome::Retry);
  EXPECT_EQ(reset.status, 0);
  gateway.release_hung();
}

TEST_F(GatewayTransportTest, UnreachableGatewayIsRetried) {
  int closed_port = 0;
  {
    FakeGateway gone;
    closed_port = gone.port();
  }
  Json s = http_settings("http://127.0.0.1:" + std::to_string(closed_port) + "/send");
  GatewayTransport t(parse_gateway_settings(s));
  SendOutcome outcome = t.send(message_to("+447700900001"));
  EXPECT_EQ(outcome.kind, SendOutcome::Retry);
  EXPECT_NE(outcome.reason.find("Could not connect"), std::string::npos) << outcome.reason;
}

TEST_F(GatewayTransportTest, UnreadableCredentialIsRetriedWithoutContactingTheGateway) {
  SendOutcome outcome =
      transport({{"auth_header", "Authorization"}, {"credential_file", folder.file("absent")}})
          .send(message_to("+447700900001"));
  EXPECT_EQ(outcome.kind, SendOutcome::Retry);
  EXPECT_TRUE(outcome.credential_unreadable);
  EXPECT_EQ(gateway.request_count(), 0u);
}

TEST_F(GatewayTransportTest, ConnectionTestCarriesTheTestHeader) {
  OutgoingMessage probe = message_to(kTestNumber);
  probe.connection_test = true;
  EXPECT_EQ(transport().send(probe).kind, SendOutcome::Sent);
  EXPECT_EQ(gateway.requests()[0].headers["x-halvenor-test"], "1");
  EXPECT_EQ(gateway.unique_deliveries(), 0u);
}

// --- TLS ----------------------------------------------------------------------

class GatewayTlsTest : public ::testing::Test {
 protected:
  struct Authority {
    setup::EvpKeyPtr key = setup::generate_ec_p256_key();
    setup::X509Ptr cert;
  };
  static std::pair<std::string, std::string> server_for(Authority& ca, const std::string& host) {
    setup::EvpKeyPtr key = setup::generate_ec_p256_key();
    setup::X509Ptr cert = setup::issue_server_certificate(ca.cert.get(), ca.key.get(), key.get(),
                                                          setup::identity(host), now());
    return {setup::pem(cert.get()), setup::private_key_pem(key.get())};
  }
  static double now() { return static_cast<double>(std::time(nullptr)); }
  void SetUp() override {
    ca.cert = setup::make_ca(ca.key.get(), "Gateway Test CA", now());
    other.cert = setup::make_ca(other.key.get(), "Unrelated CA", now());
  }
  SendOutcome send_via(FakeGateway& gateway, const std::string& ca_file) {
    Json s = http_settings(gateway.url());
    s["timeout_seconds"] = 2;
    if (!ca_file.empty()) s["ca_file"] = ca_file;
    return GatewayTransport(parse_gateway_settings(s)).send(message_to("+447700900001"));
  }
  Authority ca, other;
  TempFolder folder;
};

TEST_F(GatewayTlsTest, PinnedAuthorityIsTrusted) {
  auto [cert, key] = server_for(ca, "127.0.0.1");
  FakeGateway gateway(cert, key);
  EXPECT_EQ(send_via(gateway, folder.write("ca.pem", setup::pem(ca.cert.get()))).kind, SendOutcome::Sent);
  EXPECT_EQ(gateway.unique_deliveries(), 1u);
}

TEST_F(GatewayTlsTest, UntrustedCertificateIsRefusedBeforeAnythingIsSent) {
  auto [cert, key] = server_for(ca, "127.0.0.1");
  FakeGateway gateway(cert, key);
  SendOutcome with_other_ca = send_via(gateway, folder.write("other.pem", setup::pem(other.cert.get())));
  EXPECT_EQ(with_other_ca.kind, SendOutcome::Retry);
  EXPECT_NE(with_other_ca.reason.find("certificate was not accepted"), std::string::npos) << with_other_ca.reason;
  SendOutcome with_system_store = send_via(gateway, "");
  EXPECT_EQ(with_system_store.kind, SendOutcome::Retry);
  EXPECT_EQ(gateway.request_count(), 0u);
}

TEST_F(GatewayTlsTest, CertificateForAnotherNameIsRefused) {
  auto [cert, key] = server_for(ca, "gateway.example.net");
  FakeGateway gateway(cert, key);
  SendOutcome outcome = send_via(gateway, folder.write("ca.pem", setup::pem(ca.cert.get())));
  EXPECT_EQ(outcome.kind, SendOutcome::Retry);
  EXPECT_EQ(gateway.request_count(), 0u);
}

}  // namespace
}  // namespace halvenor::testing
