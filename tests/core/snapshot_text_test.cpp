// The dashboard snapshot's text form, written straight from the stored rows,
// against the encoded document on data that exercises every value form:
// lifecycles, receipts, mobile jobs with and without renderings, escapes,
// integers where times are usually stored, nulls and texts of any kind.
#include <gtest/gtest.h>

#include <string>

#include "base/errors.h"
#include "server/core/core.h"
#include "server/core/snapshot.h"
#include "tests/support/config_builder.h"
#include "tests/support/core_harness.h"

namespace halvenor {
namespace {

using test_support::ConfigBuilder;
using test_support::CoreHarness;
using test_support::exercise_request;
using test_support::live_request;

// The document route's reply was built as: snapshot, then the caller's
// members added at the end, then encoded.
std::string document_form(Core& core, const Json& extra) {
  Json state = core.snapshot();
  for (const auto& [key, value] : extra.items()) state[key] = value;
  return json::field_text(state);
}

const Json kCaller = {{"current_user", {{"id", "op"}, {"display_name", "Op \u00e9rateur"}}},
                      {"role", "operator"},
                      {"can_send_live", true},
                      {"can_send_sms", false},
                      {"can_manage_users", nullptr}};

ConfigBuilder varied_directory() {
  return test_support::sample_directory()
      .live()
      .mobile("mock", "mock")
      .device("pc-n2", "North", "Estates", {{"display_name", "Ward \"A\" \\ desk"}})
      .device("pc-both", "BOTH", "Wards", {{"removed", true}})
      .contact("c-n2", "North", "Estates", {"sms"}, {{"display_name", "Zo\u00eb \U0001F600"}})
      .group("g", {"pc-n", "c-n"});
}

TEST(SnapshotTextTest, EmptyStoreAndHeartbeats) {
  CoreHarness h(varied_directory());
  EXPECT_EQ(snapshot_text(h.core(), kCaller), document_form(h.core(), kCaller));
  EXPECT_EQ(snapshot_text(h.core(), Json::object()), json::field_text(h->snapshot()));
  h->poll("pc-n");
  h.clock().advance(0.25);
  h->poll("pc-n2", true);
  EXPECT_EQ(snapshot_text(h.core(), kCaller), document_form(h.core(), kCaller));
}

TEST(SnapshotTextTest, SameBytesAsTheDocumentOnVariedAlerts) {
  CoreHarness h(varied_directory());
  for (const char* computer : {"pc-n", "pc-n2", "pc-both"}) h->poll(computer, true);
  const std::string incident =
      h->create("op", live_request({{"title", "Gas leak \u2014 \"east\" stairs"}}), "key-incident");
  h.clock().advance(1.5);
  const std::string drill = h->create(
      "op", exercise_request({{"channels", {"desktop", "sms", "whatsapp"}}, {"body", "Line one\nline two \U0001F6A8"}}),
      "key-drill");
  h.clock().advance(2);
  const std::string short_one = h->create("op", exercise_request({{"ttl_minutes", 1}}), "key-short");
  h.clock().advance(3);
  const std::string cancelled = h->create("op", exercise_request({{"channels", {"desktop", "sms"}}}), "key-cancel");

  h->receipt("pc-n", drill, "received");
  h->receipt("pc-n", drill, "displayed");
  h->receipt("pc-n2", drill, "received");
  h->receipt("pc-n2", cancelled, "received");
  h->receipt("pc-n2", cancelled, "displayed");
  h->cancel("op", cancelled);
  h.clock().advance(90);  // the short exercise has expired
  h->conclude("op", incident, "CONCLUDE INCIDENT");

  // Stored forms the core itself does not write, as an older release or a
  // hand edit might leave them.
  h.exec("UPDATE deliveries SET acknowledged=7 WHERE channel='sms' AND recipient_id='c-n'");
  h.exec("UPDATE deliveries SET status=NULL WHERE channel='sms' AND recipient_id='c-n2'");
  h.exec("UPDATE deliveries SET status=CAST('sent' AS BLOB) WHERE channel='whatsapp'");
  h.exec("UPDATE deliveries SET received=1e20, displayed=0.00001 WHERE recipient_id='pc-n2' AND alert_id='" + drill +
         "'");
  h.exec("UPDATE mobile_jobs SET reason='timeout \u00e0 \"gateway\"', attempts=2 WHERE channel='sms'");
  h.exec(
      "UPDATE mobile_jobs SET wa_render='{\"preview\": {\"header\": \"EXERCISE \u2013 Fire\", \"lines\": [1, 2.5, "
      "null, true]}, \"x\": 1}' WHERE channel='whatsapp'");
  h.exec("DELETE FROM mobile_jobs WHERE recipient_id='c-n2'");  // a delivery without its job

  Json snapshot = h->snapshot();
  ASSERT_EQ(snapshot["alerts"].size(), 5u);
  EXPECT_EQ(snapshot_text(h.core(), kCaller), document_form(h.core(), kCaller));

  // An empty rendering and a missing one read as no preview in both forms.
  h.exec("UPDATE mobile_jobs SET wa_render='' WHERE channel='whatsapp'");
  EXPECT_EQ(snapshot_text(h.core(), kCaller), document_form(h.core(), kCaller));
  h.exec("UPDATE mobile_jobs SET wa_render=NULL WHERE channel='whatsapp'");
  EXPECT_EQ(snapshot_text(h.core(), kCaller), document_form(h.core(), kCaller));
}

TEST(SnapshotTextTest, RefusesWhatTheDocumentRefuses) {
  CoreHarness h(varied_directory());
  const std::string id = h->create("op", exercise_request({{"channels", {"desktop", "whatsapp"}}}), "key-drill");
  h.exec("UPDATE mobile_jobs SET wa_render='not json'");
  EXPECT_THROW(h->snapshot(), RequestError);
  EXPECT_THROW(snapshot_text(h.core(), kCaller), RequestError);

  // Text that is not UTF-8 has no JSON form in either.
  h.exec("UPDATE mobile_jobs SET wa_render=NULL");
  h.exec("UPDATE deliveries SET status=CAST(X'C3' AS TEXT) WHERE alert_id='" + id + "' AND channel='desktop'");
  EXPECT_THROW(json::field_text(h->snapshot()), RequestError);
  EXPECT_THROW(snapshot_text(h.core(), kCaller), RequestError);
}

}  // namespace
}  // namespace halvenor
