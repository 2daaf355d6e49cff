// Alert creation: idempotency, the checks before the transaction, the stored
// alert record, the fan-out to deliveries and mobile jobs, the audit event,
// rollback, and concurrent retries of one request.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "base/digest.h"
#include "base/errors.h"
#include "base/json_text.h"
#include "server/core/core.h"
#include "tests/support/config_builder.h"
#include "tests/support/core_harness.h"
#include "tests/support/refusal.h"

namespace halvenor {
namespace {

using test_support::ConfigBuilder;
using test_support::CoreHarness;
using test_support::exercise_request;
using test_support::live_request;
using test_support::refusal_of;
using test_support::refused_with;
using test_support::TableCounts;

const char* const kKey = "retry-key-0001";
const char* const kKeyMessage = "An Idempotency-Key of 8\u2013100 characters is required";
const char* const kKeyReused = "Idempotency key already used for a different request";

// The sample directory with mock providers and a second contact on both
// mobile channels, so an exercise fans out to every table.
ConfigBuilder fan_out_directory() {
  return test_support::sample_directory().mobile("mock", "mock").contact("c-n2", "North", "Estates",
                                                                          {"whatsapp", "sms"});
}

Json mobile_exercise(Json changes = Json::object()) {
  Json request = exercise_request({{"channels", {"sms", "desktop", "whatsapp"}}});
  for (auto it = changes.begin(); it != changes.end(); ++it) request[it.key()] = it.value();
  return request;
}

TEST(AlertCreationTest, ReplayReturnsTheSameIdAndWritesNothing) {
  CoreHarness h(fan_out_directory());
  const std::string id = h->create("op", mobile_exercise(), kKey);
  const TableCounts after_first = h.counts();
  EXPECT_EQ(after_first, (TableCounts{1, 5, 4, 1}));
  h.clock().advance(5);
  EXPECT_EQ(h->create("op", mobile_exercise(), kKey), id);
  EXPECT_EQ(h.counts(), after_first);
  EXPECT_EQ(h.row("SELECT created FROM alerts")["created"], test_support::kStartTime);
}

TEST(AlertCreationTest, SameKeyForAnotherRequestIsRefused) {
  CoreHarness h(fan_out_directory().live_operator("op2"));
  const std::string id = h->create("op", exercise_request(), kKey);
  const TableCounts before = h.counts();
  EXPECT_TRUE(refused_with([&] { h->create("op", exercise_request({{"ttl_minutes", 16}}), kKey); }, kKeyReused));
  EXPECT_TRUE(refused_with([&] { h->create("op", exercise_request({{"title", "Fire drill "}}), kKey); }, kKeyReused));
  EXPECT_TRUE(refused_with([&] { h->create("op", exercise_request({{"note", "unread"}}), kKey); }, kKeyReused));
  Json null_member = exercise_request();
  null_member["whatsapp_values"] = nullptr;
  EXPECT_TRUE(refused_with([&] { h->create("op", null_member, kKey); }, kKeyReused));
  EXPECT_TRUE(refused_with([&] { h->create("op2", exercise_request(), kKey); }, kKeyReused));
  EXPECT_EQ(h.counts(), before);

  // White space and key order of the body do not matter: it is decoded first.
  Json compact = json::parse_text(
      R"({"test":true,"title":"Fire drill","body":"Leave by the east stairs","severity":"ticker",)"
      R"("ttl_minutes":15,"channels":["desktop"],"sites":["North"],"extra":{"b":1,"a":[1,2]}})");
  Json spaced = json::parse_text(
      "{ \"extra\" : { \"a\" : [ 1 , 2 ] , \"b\" : 1 } ,\n\t\"sites\": [\"North\"], \"channels\": [\"desktop\"],"
      " \"ttl_minutes\": 15, \"severity\": \"ticker\", \"body\": \"Leave by the east stairs\","
      " \"title\": \"Fire drill\", \"test\": true }\r\n");
  const std::string other = h->create("op", compact, "second-key");
  EXPECT_NE(other, id);
  EXPECT_EQ(h->create("op", spaced, "second-key"), other);
  // Array order is content, not layout.
  Json reordered = compact;
  reordered["extra"]["a"] = {2, 1};
  EXPECT_TRUE(refused_with([&] { h->create("op", reordered, "second-key"); }, kKeyReused));
  EXPECT_EQ(h.count("alerts"), 2);
}

TEST(AlertCreationTest, IdempotencyKeyMustHave8To100Characters) {
  CoreHarness h(test_support::sample_directory());
  for (std::optional<std::string> bad :
       {std::optional<std::string>(), std::optional<std::string>(""), std::optional<std::string>("1234567"),
        std::optional<std::string>(std::string(101, 'k')),
        std::optional<std::string>("\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9\u00e9")})  // 7 characters, 14 bytes
    EXPECT_TRUE(refused_with([&] { h->create("op", exercise_request(), bad); }, kKeyMessage));
  EXPECT_EQ(h.counts(), TableCounts{});
  EXPECT_NO_THROW(h->create("op", exercise_request(), std::string("12345678")));
  EXPECT_NO_THROW(h->create("op", exercise_request(), std::string(100, 'k')));
  EXPECT_EQ(h.count("alerts"), 2);
}

TEST(AlertCreationTest, KeyThatIsNotUtf8IsAnInvalidRequest) {
  CoreHarness h(test_support::sample_directory());
  EXPECT_THROW(h->create("op", exercise_request(), std::string("key-\xff\xfe-1234")), RequestError);
  EXPECT_THROW(h->create("op", exercise_request(), std::string("key-\xed\xa0\x80-1234")), RequestError);
  EXPECT_EQ(h.counts(), TableCounts{});
}

TEST(AlertCreationTest, LiveNeedsTheTypedConfirmationBeforeTheKey) {
  CoreHarness h(test_support::sample_directory().live());
  h->poll("pc-n", true);
  for (Json confirmation : {Json(nullptr), Json("send live alert"), Json("SEND LIVE ALERT "), Json(true)}) {
    Json request = live_request();
    request["live_confirmation"] = confirmation;
    EXPECT_TRUE(refused_with([&] { h->create("op", request, std::nullopt); },
                             "Type SEND LIVE ALERT to confirm a real incident"))
        << confirmation.dump();
  }
  // Validation comes first of all.
  EXPECT_TRUE(refused_with([&] { h->create("op", live_request({{"live_confirmation", nullptr}, {"severity", "high"}}),
                                           std::nullopt); },
                           "Severity must be ticker or critical"));
  EXPECT_TRUE(refused_with([&] { h->create("op", exercise_request({{"title", " "}}), std::nullopt); },
                           "title is required, maximum 100 characters"));
  // Exercises need no confirmation.
  EXPECT_NO_THROW(h->create("op", exercise_request(), std::string(kKey)));
  EXPECT_EQ(h.count("alerts"), 1);
}

TEST(AlertCreationTest, StoresTheAlertRecordAsSpecified) {
  CoreHarness h(fan_out_directory());
  Json request = exercise_request({{"title", " \u3000Fire drill\u00e9 "},
                                   {"body", "\nLeave by the east stairs\t"},
                                   {"channels", {"sms", "desktop", "whatsapp", "sms"}},
                                   {"departments", {"Wards"}},
                                   {"incident_reference", "  INC-9 "},
                                   {"whatsapp_values", {{"location", "  Ward 4 "}, {"action", ""}}}});
  const std::string id = h->create("op", request, kKey);
  EXPECT_EQ(id.size(), 36u);
  EXPECT_EQ(id[14], '4');

  Json alert = h.row("SELECT * FROM alerts");
  EXPECT_EQ(alert, Json({{"id", id},
                         {"created", test_support::kStartTime},
                         {"expires", test_support::kStartTime + 900},
                         {"author", "op"},
                         {"title", "Fire drill\u00e9"},
                         {"body", "Leave by the east stairs"},
                         {"severity", "ticker"},
                         {"channels", R"(["sms", "desktop", "whatsapp", "sms"])"},
                         {"targets", R"({"sites": ["North"], "departments": ["Wards"], "groups": []})"},
                         {"cancelled", 0},
                         {"request_key", kKey},
                         {"request_hash", sha256_hex(json::hash_form(request))},
                         {"whatsapp_values", R"({"location": "Ward 4"})"},
                         {"is_test", 1},
                         {"deployment_scope", "exercise"},
                         {"conclusion_of", nullptr}}));
  EXPECT_EQ(h.rows("SELECT recipient_id,channel,status,received,displayed,acknowledged FROM deliveries ORDER BY rowid"),
            (std::vector<Json>{
                {{"recipient_id", "pc-n"}, {"channel", "desktop"}, {"status", "pending"}, {"received", nullptr},
                 {"displayed", nullptr}, {"acknowledged", nullptr}},
                {{"recipient_id", "c-n"}, {"channel", "sms"}, {"status", "queued"}, {"received", nullptr},
                 {"displayed", nullptr}, {"acknowledged", nullptr}},
                {{"recipient_id", "c-n"}, {"channel", "whatsapp"}, {"status", "queued"}, {"received", nullptr},
                 {"displayed", nullptr}, {"acknowledged", nullptr}}}));

  Json audit = h.row("SELECT actor,event,detail,at FROM audit");
  EXPECT_EQ(audit["actor"], "op");
  EXPECT_EQ(audit["event"], "alert.created.test");
  EXPECT_EQ(audit["at"], test_support::kStartTime);
  EXPECT_EQ(audit["detail"], R"({"alert_id":")" + id +
                                 R"(","assurance_reference":null,"deliveries":3,"deployment_scope":"exercise",)"
                                 R"("incident_reference":null,"is_test":true,)"
                                 R"("targets":{"departments":["Wards"],"groups":[],"sites":["North"]}})");
}

TEST(AlertCreationTest, LiveIncidentsRecordScopeReferenceAndAssurance) {
  Json config = test_support::sample_directory().live();
  CoreHarness h(config);
  h->poll("pc-n", true);
  const std::string id = h->create("op", live_request({{"incident_reference", "  INC-2041 "}}), kKey);
  EXPECT_EQ(h.row("SELECT is_test,deployment_scope FROM alerts WHERE id=?", {id}),
            Json({{"is_test", 0}, {"deployment_scope", "operational"}}));
  Json audit = h.row("SELECT event,detail FROM audit");
  EXPECT_EQ(audit["event"], "alert.created.live");
  Json detail = json::parse_text(audit["detail"].get<std::string>());
  EXPECT_EQ(detail["is_test"], false);
  EXPECT_EQ(detail["incident_reference"], "  INC-2041 ");
  EXPECT_EQ(detail["assurance_reference"], "ASSURE-7");
  EXPECT_EQ(detail["deployment_scope"], "operational");

  // Enabled by default: no assurance reference to copy.
  Json by_default = config;
  by_default["live_desktop"] = {{"enabled", true}, {"enabled_by_default", true}};
  CoreHarness plain(by_default);
  plain->poll("pc-n", true);
  plain->create("op", live_request(), kKey);
  EXPECT_TRUE(json::parse_text(plain.row("SELECT detail FROM audit")["detail"].get<std::string>())["assurance_reference"]
                  .is_null());

  // A home lab stores its own scope and never the assurance reference.
  Json lab = config;
  lab["live_desktop"]["deployment_scope"] = "home_lab";
  CoreHarness home(lab);
  home->poll("pc-n", true, "live-desktop-v2");
  home->create("op", live_request(), kKey);
  EXPECT_EQ(home.row("SELECT deployment_scope FROM alerts")["deployment_scope"], "home_lab");
  Json home_detail = json::parse_text(home.row("SELECT detail FROM audit")["detail"].get<std::string>());
  EXPECT_EQ(home_detail["deployment_scope"], "home_lab");
  EXPECT_TRUE(home_detail["assurance_reference"].is_null());
}

TEST(AlertCreationTest, MobileJobsAreQueuedInTargetOrder) {
  CoreHarness h(fan_out_directory());
  const std::string id = h->create("op", mobile_exercise({{"channels", {"whatsapp", "sms"}}}), kKey);
  EXPECT_EQ(h.rows("SELECT alert_id,recipient_id,channel,state,attempts,next_at,created FROM mobile_jobs ORDER BY rowid"),
            (std::vector<Json>{
                {{"alert_id", id}, {"recipient_id", "c-n"}, {"channel", "sms"}, {"state", "queued"}, {"attempts", 0},
                 {"next_at", test_support::kStartTime}, {"created", test_support::kStartTime}},
                {{"alert_id", id}, {"recipient_id", "c-n"}, {"channel", "whatsapp"}, {"state", "queued"},
                 {"attempts", 0}, {"next_at", test_support::kStartTime}, {"created", test_support::kStartTime}},
                {{"alert_id", id}, {"recipient_id", "c-n2"}, {"channel", "sms"}, {"state", "queued"},
                 {"attempts", 0}, {"next_at", test_support::kStartTime}, {"created", test_support::kStartTime}},
                {{"alert_id", id}, {"recipient_id", "c-n2"}, {"channel", "whatsapp"}, {"state", "queued"},
                 {"attempts", 0}, {"next_at", test_support::kStartTime}, {"created", test_support::kStartTime}}}));
  // Desktop-only alerts queue nothing.
  h->create("op", exercise_request(), "desktop-only-key");
  EXPECT_EQ(h.count("mobile_jobs"), 4);
}

TEST(AlertCreationTest, FailureInsideTheTransactionLeavesNothingBehind) {
  CoreHarness h(fan_out_directory());
  h.exec("CREATE TRIGGER refuse_audit BEFORE INSERT ON audit BEGIN SELECT RAISE(ABORT, 'audit refused'); END");
  EXPECT_THROW(h->create("op", mobile_exercise(), kKey), DatabaseError);
  EXPECT_EQ(h.counts(), TableCounts{});
  h.exec("DROP TRIGGER refuse_audit");
  // The key was not consumed.
  const std::string id = h->create("op", mobile_exercise(), kKey);
  EXPECT_EQ(h.counts(), (TableCounts{1, 5, 4, 1}));
  EXPECT_EQ(h.row("SELECT id FROM alerts")["id"], id);
}

TEST(AlertCreationTest, ConcurrentRetriesOfOneRequestCreateOneAlert) {
  CoreHarness h(fan_out_directory());
  constexpr int kThreads = 20;
  std::vector<std::string> ids(kThreads);
  std::vector<std::string> errors(kThreads);
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < kThreads; ++i)
      threads.emplace_back([&, i] {
        try {
          ids[i] = h->create("op", mobile_exercise(), kKey);
        } catch (const std::exception& e) {
          errors[i] = e.what();
        }
      });
  }
  for (int i = 0; i < kThreads; ++i) {
    EXPECT_EQ(errors[i], "") << "thread " << i;
    EXPECT_EQ(ids[i], ids[0]) << "thread " << i;
  }
  EXPECT_EQ(h.counts(), (TableCounts{1, 5, 4, 1}));
}

}  // namespace
}  // namespace halvenor
