// The delivery queue: exactly-once sending, back-off, permanent failures,
// cancellation, crash recovery under the idempotency key, and the paused
// queue. The queue is stepped with process_due on a fake clock.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <set>
#include <thread>

#include "base/errors.h"
#include "companions/mobile/mock_transport.h"
#include "companions/mobile/retry_policy.h"
#include "tests/companions/fake_gateway.h"
#include "tests/companions/mobile_fixture.h"

namespace halvenor::testing {
namespace {

using Answer = FakeGateway::Answer;

class QueueTest : public ::testing::Test {
 protected:
  explicit QueueTest(int contacts = 2)
      : world(mobile_config({{"sms", gateway_provider(gateway.url(), 0.3)},
                             {"whatsapp", gateway_provider(gateway.url(), 0.3)}},
                            contacts)) {
    world.ready("configured-sms");
    world.ready("configured-whatsapp");
    probes = gateway.request_count();  // the two connection tests
  }
  std::vector<FakeGateway::Request> sends() {
    auto all = gateway.requests();
    return std::vector<FakeGateway::Request>(all.begin() + static_cast<long>(probes), all.end());
  }
  Json job(const std::string& recipient, const std::string& channel) {
    return world.one("SELECT * FROM mobile_jobs WHERE recipient_id=? AND channel=?", {recipient, channel});
  }
  std::int64_t jobs_in(const std::string& state) {
    return world.count("SELECT COUNT(*) AS n FROM mobile_jobs WHERE state=?", {state});
  }
  std::int64_t audits(const std::string& event) {
    return world.count("SELECT COUNT(*) AS n FROM audit WHERE event=?", {event});
  }

  FakeGateway gateway;
  MobileWorld world;
  std::size_t probes = 0;
};

TEST_F(QueueTest, EveryJobIsSentExactlyOnceWithItsIdAsKey) {
  world.create({"sms", "whatsapp"});
  EXPECT_EQ(jobs_in("queued"), 4);
  EXPECT_EQ(world.step(), 4);
  EXPECT_EQ(jobs_in("sent"), 4);
  EXPECT_EQ(world.step(), 0) << "sent jobs are never taken up again";
  world.clock->advance(600);
  EXPECT_EQ(world.step(), 0);

  auto requests = sends();
  ASSERT_EQ(requests.size(), 4u);
  std::set<std::string> keys;
  for (const auto& r : requests) keys.insert(r.key);
  std::set<std::string> ids;
  for (const Json& row : world.rows("SELECT id FROM mobile_jobs")) ids.insert(row["id"].get<std::string>());
  EXPECT_EQ(keys, ids);
  EXPECT_EQ(gateway.unique_deliveries(), 4u);
  EXPECT_EQ(audits("mobile.sent"), 4);
  Json sms = job("c1", "sms");
  EXPECT_EQ(sms["attempts"], 1);
  EXPECT_EQ(sms["account_id"], "configured-sms");
  EXPECT_EQ(world.one("SELECT status FROM deliveries WHERE recipient_id='c1' AND channel='sms'")["status"], "sent");
}

TEST_F(QueueTest, MessagesCarryTextNumberAndAcknowledgementLink) {
  world.parts->acknowledgements().set_public_base("https://alerts.example");
  world.create({"sms"});
  world.step();
  auto requests = sends();
  ASSERT_EQ(requests.size(), 2u);
  std::set<std::string> numbers;
  for (const auto& r : requests) {
    numbers.insert(r.json["to"].get<std::string>());
    const std::string text = r.json["text"].get<std::string>();
    EXPECT_NE(text.find("EXERCISE - Water outage"), std::string::npos);
    EXPECT_NE(text.find("\nAcknowledge: https://alerts.example/acknowledge#"), std::string::npos);
    EXPECT_EQ(r.json["channel"], "sms");
  }
  EXPECT_EQ(numbers, (std::set<std::string>{"+447700900001", "+447700900002"}));
}

TEST_F(QueueTest, PassingFailuresBackOffAndKeepTheirKey) {
  world.create({"sms"});
  gateway.script({Answer::TooMany, Answer::TooMany, Answer::ServerError, Answer::ServerError});
  const double t0 = world.clock->now();
  EXPECT_EQ(world.step(), 2);
  Json first = job("c1", "sms");
  EXPECT_EQ(first["state"], "queued");
  EXPECT_EQ(first["attempts"], 1);
  EXPECT_NE(first["reason"].get<std::string>().find("429"), std::string::npos);
  double wait1 = first["next_at"].get<double>() - t0;
  EXPECT_GE(wait1, kFirstRetrySeconds / 2);
  EXPECT_LE(wait1, kFirstRetrySeconds);

  EXPECT_EQ(world.step(), 0) << "nothing is due before its back-off ends";
  world.clock->set(first["next_at"].get<double>() + 5);  // both jobs are due (their waits are at most 5 s)
  const double t1 = world.clock->now();
  EXPECT_EQ(world.step(), 2);
  Json second = job("c1", "sms");
  EXPECT_EQ(second["attempts"], 2);
  double wait2 = second["next_at"].get<double>() - t1;
  EXPECT_GE(wait2, kFirstRetrySeconds);
  EXPECT_LE(wait2, 2 * kFirstRetrySeconds);

  world.clock->advance(2 * kFirstRetrySeconds);
  EXPECT_EQ(world.step(), 2);
  EXPECT_EQ(jobs_in("sent"), 2);
  EXPECT_EQ(job("c1", "sms")["attempts"], 3);
  EXPECT_EQ(gateway.requests_with_key(job("c1", "sms")["id"].get<std::string>()), 3u);
  EXPECT_EQ(gateway.unique_deliveries(), 2u);
  EXPECT_EQ(audits("mobile.failed"), 0);
}

TEST_F(QueueTest, PermanentRefusalStopsAtOnce) {
  world.create({"sms"});
  gateway.answer_with(Answer::BadRequest);
  world.step();
  EXPECT_EQ(jobs_in("failed"), 2);
  Json failed = job("c2", "sms");
  EXPECT_EQ(failed["attempts"], 1);
  EXPECT_NE(failed["reason"].get<std::string>().find("400 Bad Request"), std::string::npos);
  EXPECT_EQ(world.one("SELECT status FROM deliveries WHERE recipient_id='c2' AND channel='sms'")["status"], "failed");
  EXPECT_EQ(audits("mobile.failed"), 2);
  world.clock->advance(3600);
  world.step();
  EXPECT_EQ(sends().size(), 2u);
}

TEST_F(QueueTest, GivesUpAfterTheLastAttempt) {
  world.create({"sms"});
  gateway.answer_with(Answer::ServerError);
  for (int i = 0; i < kMaxSendAttempts + 2; ++i) {
    world.step();
    world.clock->advance(kMaxRetrySeconds);
  }
  Json failed = job("c1", "sms");
  EXPECT_EQ(failed["state"], "failed");
  EXPECT_EQ(failed["attempts"], kMaxSendAttempts);
  EXPECT_NE(failed["reason"].get<std::string>().find("Gave up after 6 attempts"), std::string::npos);
  EXPECT_EQ(sends().size(), 2u * kMaxSendAttempts);
  EXPECT_EQ(audits("mobile.failed"), 2);
}

TEST_F(QueueTest, HangingGatewayTimesOutAndIsRetried) {
  world.create({"sms"});
  gateway.script({Answer::Hang, Answer::Hang});
  world.step();
  EXPECT_EQ(jobs_in("queued"), 2);
  EXPECT_NE(job("c1", "sms")["reason"].get<std::string>().find("did not answer"), std::string::npos);
  gateway.release_hung();
  world.clock->advance(kFirstRetrySeconds);
  world.step();
  EXPECT_EQ(jobs_in("sent"), 2);
}

TEST_F(QueueTest, ResetAfterAcceptanceIsRetriedButDeliveredOnce) {
  world.create({"sms"});
  gateway.script({Answer::AcceptThenReset, Answer::AcceptThenReset});
  world.step();
  EXPECT_EQ(jobs_in("queued"), 2);
  world.clock->advance(kFirstRetrySeconds);
  world.step();
  EXPECT_EQ(jobs_in("sent"), 2);
  EXPECT_EQ(sends().size(), 4u);
  EXPECT_EQ(gateway.unique_deliveries(), 2u);
}

TEST_F(QueueTest, CancelledAlertsJobsNeverLeave) {
  std::string id = world.create({"sms", "whatsapp"});
  world.core->cancel(kOperator, id);
  EXPECT_EQ(jobs_in("cancelled"), 4);
  EXPECT_EQ(world.step(), 0);
  EXPECT_EQ(sends().size(), 0u);
  EXPECT_EQ(world.count("SELECT COUNT(*) AS n FROM deliveries WHERE status='cancelled'"), 4);
}

TEST_F(QueueTest, CancellationStopsRetriesButKeepsWhatWasSent) {
  std::string id = world.create({"sms"});
  gateway.script({Answer::Ok, Answer::ServerError});
  world.step();
  EXPECT_EQ(jobs_in("sent"), 1);
  EXPECT_EQ(jobs_in("queued"), 1);
  world.core->cancel(kOperator, id);
  world.clock->advance(kMaxRetrySeconds);
  world.step();
  EXPECT_EQ(jobs_in("sent"), 1);
  EXPECT_EQ(jobs_in("cancelled"), 1);
  EXPECT_EQ(sends().size(), 2u);
}

TEST_F(QueueTest, InterruptedSendOfACancelledAlertIsNotResent) {
  std::string id = world.create({"sms"});
  {
    // The state a crash leaves: claimed, then the alert was cancelled
    // without the queue being told.
    DbScope scope = world.core->db();
    scope->execute("UPDATE mobile_jobs SET state='sending'");
    scope->execute("UPDATE alerts SET cancelled=1 WHERE id=?", {id});
  }
  EXPECT_EQ(world.parts->queue().recover_interrupted(), 2);
  world.step();
  EXPECT_EQ(jobs_in("cancelled"), 2);
  EXPECT_EQ(sends().size(), 0u);
}

TEST_F(QueueTest, ExpiredAlertIsNotSentLate) {
  world.create({"sms"});
  world.clock->advance(31 * 60);
  world.step();
  EXPECT_EQ(jobs_in("failed"), 2);
  EXPECT_NE(job("c1", "sms")["reason"].get<std::string>().find("expired"), std::string::npos);
  EXPECT_EQ(sends().size(), 0u);
}

TEST_F(QueueTest, AccountSwitchedOffAfterQueueingFailsTheJobVisibly) {
  world.create({"sms"});
  world.operate({{"action", "set_sending"}, {"account_id", "configured-sms"}, {"mode", "exercise"}, {"enabled", false}});
  world.step();
  EXPECT_EQ(jobs_in("failed"), 2);
  EXPECT_NE(job("c1", "sms")["reason"].get<std::string>().find("not tested and enabled for exercise"),
            std::string::npos);
  EXPECT_EQ(sends().size(), 0u);
}

TEST_F(QueueTest, ContactWithoutUsableNumberFails) {
  Json config = world.config;
  config["contacts"][0]["phone"] = "07700 900001";
  world.core->replace_config(config);
  world.create({"sms"});
  world.step();
  EXPECT_EQ(job("c1", "sms")["state"], "failed");
  EXPECT_NE(job("c1", "sms")["reason"].get<std::string>().find("international format"), std::string::npos);
  EXPECT_EQ(job("c2", "sms")["state"], "sent");
}

TEST_F(QueueTest, PausedQueueStoresButSendsNothing) {
  world.parts->queue().start(true);
  world.create({"sms", "whatsapp"});
  EXPECT_EQ(world.step(), 0);
  EXPECT_EQ(jobs_in("queued"), 4);
  EXPECT_EQ(sends().size(), 0u);
  DbScope scope = world.core->db();
  Json summary = world.parts->queue().summary(scope.conn());
  EXPECT_EQ(summary["paused"], true);
  EXPECT_EQ(summary["totals"]["queued"], 4);
  EXPECT_EQ(summary["counts"]["sms"]["queued"], 2);
  EXPECT_EQ(summary["oldest_due_seconds"], 0.0);
  world.parts->queue().stop();
}

TEST_F(QueueTest, SummaryCountsByStateAndChannelAndAgesTheOldestDueJob) {
  world.create({"sms", "whatsapp"});
  gateway.script({Answer::BadRequest});
  world.step();  // one failed, three sent
  world.create({"sms"}, "request-key-0002");
  world.clock->advance(42);
  DbScope scope = world.core->db();
  Json summary = world.parts->queue().summary(scope.conn());
  EXPECT_EQ(summary["paused"], false);
  EXPECT_EQ(summary["totals"]["sent"], 3);
  EXPECT_EQ(summary["totals"]["failed"], 1);
  EXPECT_EQ(summary["counts"]["sms"]["queued"], 2);
  EXPECT_DOUBLE_EQ(summary["oldest_due_seconds"].get<double>(), 42.0);
}

TEST_F(QueueTest, WhatsAppJobsShowTheirRenderedTextFromTheStart) {
  Json request = alert_request({"whatsapp"});
  request["whatsapp_values"] = {{"location", "Ward 7"}};
  world.core->create(kOperator, request, "request-key-wa01");
  Json render = json::parse_text(job("c1", "whatsapp")["wa_render"].get<std::string>());
  EXPECT_EQ(render["preview"]["template"], "halvenor_exercise_alert");
  EXPECT_NE(render["preview"]["text"].get<std::string>().find("Location: Ward 7"), std::string::npos);
  Json snapshot = world.core->snapshot();
  EXPECT_EQ(snapshot["alerts"][0]["deliveries"][0]["whatsapp_preview"], render["preview"]);
}

TEST_F(QueueTest, WorkerThreadSendsWhatIsQueued) {
  world.parts->queue().start();
  world.create({"sms", "whatsapp"});
  ASSERT_TRUE(gateway.wait_for_requests(probes + 4, std::chrono::seconds(20)));
  world.parts->queue().stop();
  EXPECT_EQ(jobs_in("sent"), 4);
}

TEST(QueueCancellation, CancelDuringARoundStopsTheMessagesNotYetSent) {
  // One more job than the round sends at once: while the first ones hang at
  // the gateway, the operator cancels. The cancellation must not wait for
  // the network (no write lock is held), and the last job must stay unsent.
  FakeGateway gateway;
  MobileWorld world(mobile_config({{"sms", gateway_provider(gateway.url(), 2)}}, kConcurrentSends + 1));
  world.ready("configured-sms");
  const std::size_t probes = gateway.request_count();
  std::string id = world.create({"sms"});
  gateway.answer_with(Answer::Hang);
  std::thread round([&] { world.step(); });
  bool all_hanging = gateway.wait_for_requests(probes + kConcurrentSends, std::chrono::seconds(30));
  world.core->cancel(kOperator, id);
  gateway.release_hung();
  round.join();
  ASSERT_TRUE(all_hanging);
  EXPECT_EQ(gateway.request_count(), probes + kConcurrentSends);
  EXPECT_EQ(world.count("SELECT COUNT(*) AS n FROM mobile_jobs WHERE state='cancelled'"), kConcurrentSends + 1);
  world.clock->advance(kMaxRetrySeconds);
  world.step();
  EXPECT_EQ(gateway.request_count(), probes + kConcurrentSends);
}

TEST(QueueCrash, KilledMidSendIsRetriedAfterRestartUnderTheSameKey) {
  FakeGateway gateway;
  TempFolder folder;
  Json config = mobile_config({{"sms", gateway_provider(gateway.url(), 30)}}, 1);
  const std::string db = folder.file("core.sqlite3");
  {
    ServiceParts parts(config, db);
    Core& core = parts.core();
    parts.mobile().operate(kAdmin, {{"action", "test_account"}, {"account_id", "configured-sms"}});
    parts.mobile().operate(kAdmin, {{"action", "set_sending"}, {"account_id", "configured-sms"},
                                   {"mode", "exercise"}, {"enabled", true}});
    core.create(kOperator, alert_request({"sms"}), "request-key-crash");
  }
  const std::size_t before = gateway.request_count();
  gateway.answer_with(Answer::AcceptThenHang);

  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The service process: it takes the job and dies while the gateway has
    // accepted the message but not yet answered.
    try {
      ServiceParts parts(config, db);
    Core& core = parts.core();
      parts.queue().process_due(core.clock().now());
    } catch (...) {
    }
    _exit(0);
  }
  bool arrived = gateway.wait_for_requests(before + 1, std::chrono::seconds(60));
  kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  ASSERT_TRUE(arrived);
  ASSERT_TRUE(WIFSIGNALED(status));
  gateway.answer_with(Answer::Ok);
  gateway.release_hung();

  ServiceParts parts(config, db);
    Core& core = parts.core();
  std::string key;
  {
    DbScope scope = core.db();
    Json row = *scope->query_one("SELECT id,state FROM mobile_jobs");
    EXPECT_EQ(row["state"], "sending");
    key = row["id"].get<std::string>();
  }
  EXPECT_EQ(parts.queue().recover_interrupted(), 1);
  EXPECT_EQ(parts.queue().process_due(core.clock().now()), 1);
  DbScope scope = core.db();
  Json row = *scope->query_one("SELECT state,attempts FROM mobile_jobs");
  EXPECT_EQ(row["state"], "sent");
  EXPECT_EQ(gateway.requests_with_key(key), 2u);
  EXPECT_EQ(gateway.unique_deliveries(), 1u) << "the retry must not deliver a second message";
}

// --- the exercise-only mock provider -------------------------------------------

TEST(MockProvider, RecordsExercisesWithoutTheToken) {
  MobileWorld world(mobile_config({{"sms", {{"driver", "mock"}}}, {"whatsapp", {{"driver", "mock"}}}}));
  world.parts->acknowledgements().set_public_base("https://alerts.example");
  world.create({"sms", "whatsapp"});
  EXPECT_EQ(world.step(), 4);
  EXPECT_EQ(world.count("SELECT COUNT(*) AS n FROM mobile_jobs WHERE state='sent'"), 4);
  auto outbox = world.rows("SELECT * FROM mock_outbox ORDER BY recipient_id,channel");
  ASSERT_EQ(outbox.size(), 4u);
  EXPECT_EQ(outbox[0]["address"], "+447700900001");
  const std::string text = outbox[0]["text"].get<std::string>();
  EXPECT_NE(text.find("https://alerts.example/acknowledge#(token withheld)"), std::string::npos) << text;
}

TEST(MockProvider, RefusesLiveTraffic) {
  MobileWorld world(mobile_config({{"sms", {{"driver", "mock"}}}}));
  MockTransport mock(*world.core);
  OutgoingMessage live;
  live.idempotency_key = "live-1";
  live.live = true;
  live.text = "INCIDENT";
  SendOutcome outcome = mock.send(live);
  EXPECT_EQ(outcome.kind, SendOutcome::Failed);
  EXPECT_NE(outcome.reason.find("never carries live traffic"), std::string::npos);
  EXPECT_EQ(world.count("SELECT COUNT(*) AS n FROM mock_outbox"), 0);
}

TEST(MockProvider, SameKeyIsRecordedOnce) {
  MobileWorld world(mobile_config({{"sms", {{"driver", "mock"}}}}));
  MockTransport mock(*world.core);
  OutgoingMessage m;
  m.idempotency_key = "job-1";
  m.channel = "sms";
  m.text = "EXERCISE";
  EXPECT_EQ(mock.send(m).kind, SendOutcome::Sent);
  EXPECT_EQ(mock.send(m).kind, SendOutcome::Sent);
  EXPECT_EQ(world.count("SELECT COUNT(*) AS n FROM mock_outbox"), 1);
}

TEST(RetryPolicy, DoublesUpToTheCapWithJitterInTheUpperHalf) {
  SequenceRandom random;
  for (int attempts = 1; attempts <= 12; ++attempts) {
    double ceiling = std::min(kMaxRetrySeconds, kFirstRetrySeconds * (1 << (attempts - 1)));
    for (int i = 0; i < 50; ++i) {
      double d = retry_delay(attempts, random);
      EXPECT_GE(d, ceiling / 2);
      EXPECT_LE(d, ceiling);
    }
  }
}

}  // namespace
}  // namespace halvenor::testing
