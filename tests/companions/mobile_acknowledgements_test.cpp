// Acknowledgement links: a token works once, only for its own delivery,
// only while its alert stands, and is never stored as it was sent.
#include <gtest/gtest.h>

#include "base/digest.h"
#include "base/errors.h"
#include "companions/mobile/mobile_acknowledgements.h"
#include "companions/mobile/retry_policy.h"
#include "tests/companions/fake_gateway.h"
#include "tests/companions/mobile_fixture.h"

namespace halvenor::testing {
namespace {

using Answer = FakeGateway::Answer;

class AcknowledgementTest : public ::testing::Test {
 protected:
  AcknowledgementTest() : world(mobile_config({{"sms", gateway_provider(gateway.url(), 0.3)}})) {
    world.ready("configured-sms");
    world.parts->acknowledgements().set_public_base("https://alerts.example");
    alert_id = world.create({"sms"});
    world.step();
  }
  // The token in the message the gateway received for `phone`.
  std::string token_for(const std::string& phone) {
    std::string token;
    for (const auto& r : gateway.requests()) {
      if (r.json["to"] != phone || r.headers.count("x-halvenor-test")) continue;
      const std::string text = r.json["text"].get<std::string>();
      token = text.substr(text.find("/acknowledge#") + 13);
    }
    return token;
  }
  Json acknowledged(const std::string& recipient) {
    return world.one("SELECT acknowledged FROM deliveries WHERE alert_id=? AND recipient_id=? AND channel='sms'",
                     {alert_id, recipient})["acknowledged"];
  }
  std::int64_t ack_events() { return world.count("SELECT COUNT(*) AS n FROM audit WHERE event='mobile.acknowledged'"); }
  std::string refusal(const Json& token, const Json& confirmed) {
    try {
      world.parts->acknowledgements().acknowledge_link(token, confirmed);
    } catch (const MobileAckInvalid& e) {
      return e.what();
    }
    return "";
  }

  FakeGateway gateway;
  MobileWorld world;
  std::string alert_id;
};

TEST_F(AcknowledgementTest, ConfirmedTokenRecordsItsDeliveryOnce) {
  std::string token = token_for("+447700900001");
  ASSERT_FALSE(token.empty());
  world.clock->advance(60);
  Json reply = world.parts->acknowledgements().acknowledge_link(token, true);
  EXPECT_EQ(reply["ok"], true);
  EXPECT_EQ(reply["title"], "Water outage");
  EXPECT_EQ(reply["message"], "Thank you. Your acknowledgement has been recorded.");
  EXPECT_DOUBLE_EQ(acknowledged("c1").get<double>(), kStartTime + 60);
  EXPECT_TRUE(acknowledged("c2").is_null()) << "only the token's own delivery";
  EXPECT_EQ(ack_events(), 1);

  world.clock->advance(60);
  Json again = world.parts->acknowledgements().acknowledge_link(token, true);
  EXPECT_EQ(again["message"], "Your acknowledgement was already recorded. Thank you.");
  EXPECT_DOUBLE_EQ(acknowledged("c1").get<double>(), kStartTime + 60);
  EXPECT_EQ(ack_events(), 1);

  Json snapshot = world.core->snapshot();
  for (const Json& d : snapshot["alerts"][0]["deliveries"])
    EXPECT_EQ(d["display_status"], d["recipient_id"] == "c1" ? "acknowledged" : "sent");
}

TEST_F(AcknowledgementTest, AnythingButConfirmedTrueIsRefusedAndWritesNothing) {
  std::string token = token_for("+447700900001");
  for (const Json& confirmed : {Json(false), Json("true"), Json(1), Json(nullptr), Json::object()})
    EXPECT_EQ(refusal(token, confirmed), "Confirm that you received the alert.");
  EXPECT_EQ(refusal(token + "x", true), "This acknowledgement link is not valid.");
  EXPECT_EQ(refusal("", true), "This acknowledgement link is not valid.");
  EXPECT_EQ(refusal(42, true), "This acknowledgement link is not valid.");
  EXPECT_EQ(refusal(std::string(129, 'a'), true), "This acknowledgement link is not valid.");
  EXPECT_TRUE(acknowledged("c1").is_null());
  EXPECT_EQ(ack_events(), 0);
}

TEST_F(AcknowledgementTest, ExpiredOrWithdrawnAlertsRefuse) {
  std::string first = token_for("+447700900001");
  std::string second = token_for("+447700900002");
  world.clock->advance(30 * 60);
  EXPECT_EQ(refusal(first, true), "This alert has expired.");
  world.clock->set(kStartTime + 10);
  world.core->cancel(kOperator, alert_id);
  EXPECT_EQ(refusal(second, true), "This alert was withdrawn.");
  EXPECT_EQ(ack_events(), 0);
}

TEST_F(AcknowledgementTest, TokensAreStoredOnlyAsHashesBoundToTheirDelivery) {
  std::string token = token_for("+447700900001");
  auto rows = world.rows("SELECT * FROM mobile_ack_tokens");
  ASSERT_EQ(rows.size(), 2u);
  for (const Json& row : rows) EXPECT_EQ(row.dump().find(token), std::string::npos);
  Json bound = world.one("SELECT alert_id,contact_id,channel,expires FROM mobile_ack_tokens WHERE token_hash=?",
                         {sha256_hex(token)});
  EXPECT_EQ(bound["alert_id"], alert_id);
  EXPECT_EQ(bound["contact_id"], "c1");
  EXPECT_EQ(bound["channel"], "sms");
  EXPECT_DOUBLE_EQ(bound["expires"].get<double>(), kStartTime + 30 * 60);
}

TEST(AcknowledgementRetries, EveryAttemptsLinkAcknowledgesTheSameDeliveryOnce) {
  FakeGateway gateway;
  MobileWorld world(mobile_config({{"sms", gateway_provider(gateway.url(), 0.3)}}, 1));
  world.ready("configured-sms");
  gateway.script({Answer::AcceptThenReset});
  world.create({"sms"});
  world.step();
  world.clock->advance(kFirstRetrySeconds);
  world.step();
  std::vector<std::string> tokens;
  for (const auto& r : gateway.requests()) {
    if (r.headers.count("x-halvenor-test")) continue;
    const std::string text = r.json["text"].get<std::string>();
    tokens.push_back(text.substr(text.find("/acknowledge#") + 13));
  }
  ASSERT_EQ(tokens.size(), 2u);
  EXPECT_NE(tokens[0], tokens[1]);
  world.parts->acknowledgements().acknowledge_link(tokens[0], true);
  Json second = world.parts->acknowledgements().acknowledge_link(tokens[1], true);
  EXPECT_EQ(second["message"], "Your acknowledgement was already recorded. Thank you.");
  EXPECT_EQ(world.count("SELECT COUNT(*) AS n FROM audit WHERE event='mobile.acknowledged'"), 1);
}

}  // namespace
}  // namespace halvenor::testing
