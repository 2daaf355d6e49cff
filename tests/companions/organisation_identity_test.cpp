#include "companions/identity/organisation_identity.h"

#include <gtest/gtest.h>

#include <functional>

#include "base/errors.h"
#include "companions/identity/id_token.h"
#include "net/certificates.h"
#include "tests/companions/companion_test_support.h"
#include "tests/companions/fake_identity_provider.h"

namespace halvenor {
namespace {

using testing_support::FakeIdentityProvider;
using testing_support::Installation;
using testing_support::query_parameter;

constexpr char kBaseUrl[] = "https://alerts.hospital.example:8443";
constexpr char kPerson[] = "Jane.Doe@Hospital.Example";
// Well past the clock skew the verifier allows.
constexpr double kIdentityTestSkewPastSeconds = 600;

template <typename F>
std::string identity_refusal(F f) {
  try {
    f();
  } catch (const IdentityError& e) {
    return e.what();
  }
  return "<accepted>";
}

class OrganisationIdentityTest : public ::testing::Test {
 protected:
  OrganisationIdentityTest() : home_(config_with(provider_.configuration())) {}

  static Json config_with(Json section) {
    Json config = testing_support::base_config();
    config["users"].push_back({{"id", "jdoe"},
                               {"display_name", "Jane Doe"},
                               {"role", "operator"},
                               {"identity_provider", "entra"},
                               {"organisation_subject", "jane.doe@hospital.example"},
                               // Never usable: organisation users do not sign in by stored credential.
                               {"token", "stored-but-ignored"}});
    config["organisation_identity"] = std::move(section);
    return config;
  }

  OrganisationIdentity& identity() { return home_.parts().identity(); }

  // The claims a well-behaved provider puts in the token for `start`.
  Json claims_for(const Json& started) {
    const std::string url = started["authorization_url"];
    const double now = home_.clock().now();
    return Json{{"iss", provider_.issuer()},
                {"sub", "0f3a-opaque"},
                {"aud", FakeIdentityProvider::kClientId},
                {"iat", now},
                {"exp", now + 3600},
                {"nonce", query_parameter(url, "nonce")},
                {"preferred_username", kPerson}};
  }

  // Starts a sign-in, lets the provider issue `token` for it, completes it.
  Json sign_in_with(const std::function<std::string(const Json& claims)>& token_for) {
    Json started = identity().start(kBaseUrl);
    const std::string url = started["authorization_url"];
    const std::string code = "code-" + std::to_string(++codes_);
    provider_.accept_code(code, query_parameter(url, "code_challenge"), query_parameter(url, "redirect_uri"),
                          token_for(claims_for(started)));
    return identity().complete(Json{{"code", code}, {"state", started["state"]}});
  }

  FakeIdentityProvider provider_;
  Installation home_;
  int codes_ = 0;
};

TEST_F(OrganisationIdentityTest, StartAsksForACodeWithPkceStateAndNonce) {
  Json started = identity().start(kBaseUrl);
  const std::string url = started["authorization_url"];
  EXPECT_EQ(url.rfind(provider_.issuer() + "/authorize?", 0), 0u) << url;
  EXPECT_EQ(query_parameter(url, "response_type"), "code");
  EXPECT_EQ(query_parameter(url, "client_id"), FakeIdentityProvider::kClientId);
  EXPECT_EQ(query_parameter(url, "code_challenge_method"), "S256");
  EXPECT_EQ(query_parameter(url, "code_challenge").size(), 43u);
  EXPECT_EQ(query_parameter(url, "state"), started["state"]);
  EXPECT_GE(query_parameter(url, "nonce").size(), 43u);
  EXPECT_NE(query_parameter(url, "nonce"), started["state"]);
  EXPECT_EQ(query_parameter(url, "scope"), "openid profile email");
  // Two sign-ins never share their secrets.
  EXPECT_NE(identity().start(kBaseUrl)["state"], started["state"]);
}

TEST_F(OrganisationIdentityTest, SignsInWithRsaAndEcTokensAndLogsOut) {
  for (bool ec : {false, true}) {
    Json result = sign_in_with([&](const Json& claims) {
      return ec ? FakeIdentityProvider::sign(claims, provider_.ec_key(), FakeIdentityProvider::kEcKid)
                : FakeIdentityProvider::sign(claims, provider_.rsa_key(), FakeIdentityProvider::kRsaKid);
    });
    const std::string token = result["token"];
    EXPECT_EQ(token.rfind(kSessionPrefix, 0), 0u);
    EXPECT_EQ(result["user"]["id"], "jdoe");
    EXPECT_EQ(result["user"]["role"], "operator");
    EXPECT_DOUBLE_EQ(result["expires"].get<double>(), home_.clock().now() + kSessionSeconds);

    auto caller = home_.core().authenticate(token);
    ASSERT_TRUE(caller.has_value());
    EXPECT_EQ(caller->actor, "jdoe");
    EXPECT_EQ(caller->role, "operator");

    identity().logout(token);
    EXPECT_FALSE(identity().authenticate(token).has_value());
  }
  // Sessions are stored only as hashes.
  DbScope scope(home_.core().database());
  for (const Json& row : scope->query("SELECT token_hash FROM identity_sessions"))
    EXPECT_EQ(row["token_hash"].get<std::string>().find(kSessionPrefix), std::string::npos);
  EXPECT_NE(home_.audit_text().find("identity.signed_in"), std::string::npos);
  EXPECT_NE(home_.audit_text().find("identity.signed_out"), std::string::npos);
}

TEST_F(OrganisationIdentityTest, RefusesTokensThatFailAnyCheck) {
  setup::EvpKeyPtr stranger = setup::generate_rsa_key(2048);
  struct Case {
    const char* name;
    std::function<std::string(Json)> token;
    const char* message;
  } cases[] = {
      {"bad signature",
       [&](Json c) { return FakeIdentityProvider::sign(c, stranger.get(), FakeIdentityProvider::kRsaKid); },
       "signature is not valid"},
      {"wrong audience",
       [&](Json c) {
         c["aud"] = "another-application";
         return FakeIdentityProvider::sign(c, provider_.rsa_key(), FakeIdentityProvider::kRsaKid);
       },
       "issued for another application"},
      {"expired",
       [&](Json c) {
         c["exp"] = home_.clock().now() - kIdentityTestSkewPastSeconds;
         return FakeIdentityProvider::sign(c, provider_.ec_key(), FakeIdentityProvider::kEcKid);
       },
       "has expired"},
      {"other issuer",
       [&](Json c) {
         c["iss"] = "https://login.example.invalid/";
         return FakeIdentityProvider::sign(c, provider_.rsa_key(), FakeIdentityProvider::kRsaKid);
       },
       "another issuer"},
      {"other sign-in's nonce",
       [&](Json c) {
         c["nonce"] = "not-this-sign-in";
         return FakeIdentityProvider::sign(c, provider_.rsa_key(), FakeIdentityProvider::kRsaKid);
       },
       "does not belong to this sign-in"},
      {"person not enrolled",
       [&](Json c) {
         c["preferred_username"] = "someone.else@hospital.example";
         return FakeIdentityProvider::sign(c, provider_.rsa_key(), FakeIdentityProvider::kRsaKid);
       },
       "not enrolled"},
      {"unsigned",
       [&](Json c) {
         std::string signed_token = FakeIdentityProvider::sign(c, provider_.rsa_key(), FakeIdentityProvider::kRsaKid);
         std::string body = signed_token.substr(signed_token.find('.'), signed_token.rfind('.') - signed_token.find('.'));
         return identity::base64url_encode(R"({"alg":"none"})") + body + ".";
       },
       "algorithm"},
  };
  for (const Case& c : cases) {
    std::string message = identity_refusal([&] { sign_in_with(c.token); });
    EXPECT_NE(message.find(c.message), std::string::npos) << c.name << ": " << message;
  }
  DbScope scope(home_.core().database());
  EXPECT_EQ(scope->query_one("SELECT COUNT(*) AS n FROM identity_sessions")->at("n"), 0);
}

TEST_F(OrganisationIdentityTest, AStateCompletesOnceAndExpires) {
  Json started = identity().start(kBaseUrl);
  const std::string url = started["authorization_url"];
  std::string token = FakeIdentityProvider::sign(claims_for(started), provider_.rsa_key(), FakeIdentityProvider::kRsaKid);
  provider_.accept_code("first", query_parameter(url, "code_challenge"), query_parameter(url, "redirect_uri"), token);
  provider_.accept_code("second", query_parameter(url, "code_challenge"), query_parameter(url, "redirect_uri"), token);
  identity().complete(Json{{"code", "first"}, {"state", started["state"]}});
  const int exchanges = provider_.token_requests();
  EXPECT_NE(identity_refusal([&] { identity().complete(Json{{"code", "second"}, {"state", started["state"]}}); })
                .find("already used"),
            std::string::npos);
  EXPECT_EQ(provider_.token_requests(), exchanges) << "a replayed state must not reach the provider";

  Json late = identity().start(kBaseUrl);
  home_.clock().advance(kSignInSeconds + 1);
  EXPECT_NE(identity_refusal([&] { identity().complete(Json{{"code", "x"}, {"state", late["state"]}}); })
                .find("expired"),
            std::string::npos);
}

TEST_F(OrganisationIdentityTest, TheProviderRefusesAWrongVerifier) {
  Json started = identity().start(kBaseUrl);
  const std::string url = started["authorization_url"];
  // Registered for another challenge: our verifier cannot match it.
  provider_.accept_code("code", "not-the-challenge", query_parameter(url, "redirect_uri"),
                        FakeIdentityProvider::sign(claims_for(started), provider_.rsa_key(),
                                                   FakeIdentityProvider::kRsaKid));
  std::string message = identity_refusal([&] { identity().complete(Json{{"code", "code"}, {"state", started["state"]}}); });
  EXPECT_NE(message.find("HTTP 400: invalid_grant"), std::string::npos) << message;
}

TEST_F(OrganisationIdentityTest, SessionsEndWithExpiryDisablingOrTheUser) {
  auto rsa = [&](const Json& c) {
    return FakeIdentityProvider::sign(c, provider_.rsa_key(), FakeIdentityProvider::kRsaKid);
  };
  const std::string first = sign_in_with(rsa)["token"];
  home_.clock().advance(kSessionSeconds);
  EXPECT_FALSE(identity().authenticate(first).has_value());

  const std::string second = sign_in_with(rsa)["token"];
  ASSERT_TRUE(identity().authenticate(second).has_value());
  Json config = home_.core().config()->doc();
  config["users"][2]["enabled"] = false;
  home_.core().replace_config(config);
  EXPECT_FALSE(identity().authenticate(second).has_value());
  config["users"][2]["enabled"] = true;
  config["organisation_identity"]["enabled"] = "true";  // only exactly true enables it
  home_.core().replace_config(config);
  EXPECT_FALSE(identity().authenticate(second).has_value());
  EXPECT_NE(identity_refusal([&] { identity().start(kBaseUrl); }).find("not enabled"), std::string::npos);
}

TEST_F(OrganisationIdentityTest, OtherCredentialsFallThroughAndOrganisationUsersNeverUseStoredOnes) {
  EXPECT_FALSE(identity().authenticate(testing_support::kDeviceToken).has_value());
  EXPECT_FALSE(identity().authenticate(std::string(kSessionPrefix) + "made-up").has_value());
  EXPECT_FALSE(identity().authenticate("").has_value());
  EXPECT_EQ(home_.core().authenticate(testing_support::kDeviceToken)->actor, "ward-pc-7");
  EXPECT_FALSE(home_.core().authenticate("stored-but-ignored").has_value());
}

TEST(OrganisationIdentityConfigurationTest, RefusesIncompleteOrPlainHttpProviders) {
  Json section = {{"enabled", true},
                  {"issuer", "https://login.example/"},
                  {"authorization_endpoint", "http://login.example/authorize"},
                  {"token_endpoint", "https://login.example/token"},
                  {"jwks_uri", "https://login.example/keys"},
                  {"client_id", "x"}};
  Json config = testing_support::base_config();
  config["organisation_identity"] = section;
  Installation home(config);
  EXPECT_NE(identity_refusal([&] { home.parts().identity().start(kBaseUrl); }).find("https"), std::string::npos);
  config["organisation_identity"].erase("client_id");
  home.core().replace_config(config);
  EXPECT_NE(identity_refusal([&] { home.parts().identity().start(kBaseUrl); }).find("\"client_id\" is missing"),
            std::string::npos);
}

}  // namespace
}  // namespace halvenor
