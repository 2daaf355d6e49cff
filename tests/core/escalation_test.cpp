// Escalation to mobile contacts when too few acknowledge on their screens:
// decided once, by the stored due time, whatever happens in between.
#include "server/core/escalation.h"

#include <gtest/gtest.h>

#include "tests/support/config_builder.h"
#include "tests/support/core_harness.h"
#include "tests/support/refusal.h"

namespace halvenor {
namespace {

using test_support::CoreHarness;
using test_support::exercise_request;
using test_support::refused_with;

Json directory() {
  return test_support::sample_directory()
      .mobile("mock", "mock")
      .contact("c-s", "South", "Estates", {"sms"})
      .group("duty", {"c-n", "c-s"})
      .build();
}

// An exercise to both sites' computers escalating by SMS to "duty" when
// fewer than 80% acknowledge within a minute.
Json escalating_exercise() {
  return exercise_request({{"sites", {"North", "South"}},
                           {"escalation",
                            {{"after_minutes", 1},
                             {"min_acknowledged_percent", 80},
                             {"channels", {"sms"}},
                             {"groups", {"duty"}}}}});
}

void acknowledge(CoreHarness& h, const std::string& device, const std::string& id) {
  for (const char* step : {"received", "displayed", "acknowledged"}) h->receipt(device, id, step);
}

long long sms_jobs(CoreHarness& h, const std::string& id) {
  return h.row("SELECT COUNT(*) AS n FROM mobile_jobs WHERE alert_id=? AND channel='sms'", {id})["n"].get<long long>();
}

std::string state_of(CoreHarness& h, const std::string& id) {
  return h.row("SELECT state FROM alert_escalations WHERE alert_id=?", {id})["state"].get<std::string>();
}

TEST(EscalationTest, SendsOnceAfterItsMinuteWhenTooFewAcknowledgeEvenAcrossARestart) {
  CoreHarness h(directory());
  const std::string id = h->create("op", escalating_exercise(), "key-escalate");
  acknowledge(h, "pc-n", id);  // 1 of 2 computers: 50%

  h.clock().advance(59);
  EXPECT_EQ(run_due_escalations(h.core()), 0);
  EXPECT_EQ(sms_jobs(h, id), 0);
  EXPECT_EQ(state_of(h, id), "pending");

  h.stop();  // a restart during the wait
  h.start(directory());
  h.clock().advance(2);
  EXPECT_EQ(run_due_escalations(h.core()), 1);
  EXPECT_EQ(sms_jobs(h, id), 2);  // c-n and c-s, as deliveries of the same alert
  EXPECT_EQ(h.row("SELECT COUNT(*) AS n FROM deliveries WHERE alert_id=? AND channel='sms'", {id})["n"], 2);
  EXPECT_EQ(state_of(h, id), "sent");
  const Json event = h.row("SELECT event, detail FROM audit ORDER BY seq DESC LIMIT 1");
  EXPECT_EQ(event["event"], "alert.escalation.sent");

  h.stop();
  h.start(directory());
  h.clock().advance(600);
  EXPECT_EQ(run_due_escalations(h.core()), 0);
  EXPECT_EQ(sms_jobs(h, id), 2);
}

TEST(EscalationTest, EnoughAcknowledgementsOrACancellationEndItWithoutSending) {
  CoreHarness h(directory());
  const std::string acknowledged = h->create("op", escalating_exercise(), "key-enough-acks");
  acknowledge(h, "pc-n", acknowledged);
  acknowledge(h, "pc-s", acknowledged);
  const std::string cancelled = h->create("op", escalating_exercise(), "key-cancelled");
  h->cancel("op", cancelled);

  h.clock().advance(61);
  run_due_escalations(h.core());
  EXPECT_EQ(state_of(h, acknowledged), "not_needed");
  EXPECT_EQ(state_of(h, cancelled), "cancelled");
  EXPECT_EQ(sms_jobs(h, acknowledged) + sms_jobs(h, cancelled), 0);
  const Json card = h->snapshot()["alerts"][1];
  EXPECT_EQ(card["escalation"]["state"], "not_needed");
  EXPECT_EQ(card["escalation"]["min_acknowledged_percent"], 80);
}

TEST(EscalationTest, RefusedAtCreationWithoutWritingAnything) {
  CoreHarness h(directory());
  const auto refused = [&](Json escalation, const std::string& message) {
    Json request = escalating_exercise();
    request["escalation"].update(escalation);
    return refused_with([&] { h->create("op", request, "key-refused"); }, message);
  };
  EXPECT_TRUE(refused({{"after_minutes", 61}}, "Escalation: wait 1–60 minutes before escalating"));
  EXPECT_TRUE(refused({{"min_acknowledged_percent", 0}}, "Escalation: the acknowledged share must be 1–100 percent"));
  EXPECT_TRUE(refused({{"channels", {"desktop"}}}, "Escalation: choose sms and/or whatsapp"));
  EXPECT_TRUE(refused({{"groups", {"nobody"}}}, "Unknown group"));
  Json mobile_only = escalating_exercise();
  mobile_only["channels"] = {"sms"};
  EXPECT_TRUE(refused_with([&] { h->create("op", mobile_only, "key-mobile-only"); },
                           "Escalation needs desktop recipients whose acknowledgements it can count"));
  EXPECT_EQ(h.count("alerts"), 0);
}

}  // namespace
}  // namespace halvenor
