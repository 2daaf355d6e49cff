// What the agent shows, takes down and reports for each poll, display and
// acknowledgement.
#include "agent/alert_tracker.h"

#include <gtest/gtest.h>

#include "tests/support/temp_folder.h"

namespace halvenor::agent {
namespace {

Json row(const std::string& id, const std::string& severity = "ticker", int is_test = 1) {
  return Json{{"id", id},         {"created", 100.0},    {"expires", 4000.0}, {"title", "Title " + id},
              {"body", "Body"},    {"severity", severity}, {"is_test", is_test}, {"conclusion_of", nullptr},
              {"displayed", nullptr}, {"acknowledged", nullptr}};
}

std::vector<std::string> ids(const std::vector<AlertView>& views) {
  std::vector<std::string> out;
  for (const auto& v : views) out.push_back(v.id);
  return out;
}

class AlertTrackerTest : public ::testing::Test {
 protected:
  test_support::TempFolder folder_;
  ReceiptJournal journal_{folder_.file("receipts.journal")};
  AlertTracker tracker_;

  void record(const PollPlan& plan) {
    for (const auto& r : plan.receipts) journal_.add(r);
  }
};

TEST_F(AlertTrackerTest, ReadsTheKindExerciseMarkAndStandDownFromAPollRow) {
  AlertView critical = alert_view(row("a1", "critical", 0));
  EXPECT_EQ(critical.kind, AlertKind::Critical);
  EXPECT_FALSE(critical.exercise);
  EXPECT_FALSE(critical.stand_down);
  Json standdown = row("a2", "surprise", 1);
  standdown["conclusion_of"] = "a1";
  AlertView view = alert_view(standdown);
  EXPECT_EQ(view.kind, AlertKind::Ticker);
  EXPECT_TRUE(view.exercise);
  EXPECT_TRUE(view.stand_down);
  Json unmarked = row("a3");
  unmarked.erase("is_test");
  EXPECT_FALSE(alert_view(unmarked).exercise);  // never understate a live alert
  EXPECT_THROW(alert_view(Json{{"title", "no id"}}), std::invalid_argument);
}

TEST_F(AlertTrackerTest, NewAlertsAreReceivedOnceShownOnceAndWithdrawnWhenTheyLeaveThePoll) {
  PollPlan first = tracker_.apply_poll(Json::array({row("a1"), row("a2", "critical")}), journal_);
  EXPECT_EQ(first.receipts, (std::vector<Receipt>{{"a1", "received"}, {"a2", "received"}}));
  EXPECT_EQ(ids(first.show), (std::vector<std::string>{"a1", "a2"}));
  EXPECT_TRUE(first.withdraw.empty());
  record(first);

  PollPlan again = tracker_.apply_poll(Json::array({row("a1"), row("a2", "critical")}), journal_);
  EXPECT_TRUE(again.receipts.empty());
  EXPECT_TRUE(again.show.empty());

  // a1 was cancelled or expired: it leaves the screen, with its expiry for
  // the word that goes with it.
  PollPlan later = tracker_.apply_poll(Json::array({row("a2", "critical"), Json{{"title", "no id"}}}), journal_);
  ASSERT_EQ(later.gone.size(), 1u);
  EXPECT_EQ(later.gone[0].id, "a1");
  EXPECT_EQ(later.gone[0].expires, 4000.0);
  EXPECT_TRUE(later.withdraw.empty());
  EXPECT_TRUE(later.show.empty());
  EXPECT_FALSE(tracker_.on_screen("a1"));
  EXPECT_EQ(tracker_.apply_poll(Json::array(), journal_).gone.size(), 1u);
  EXPECT_EQ(tracker_.on_screen_count(), 0u);
}

TEST_F(AlertTrackerTest, DisplayedIsReportedOnceAndNotWhenTheServerAlreadyHasIt) {
  Json seen_before = row("a2");
  seen_before["displayed"] = 150.0;  // an earlier run of this agent reported it
  record(tracker_.apply_poll(Json::array({row("a1"), seen_before}), journal_));
  auto first = tracker_.displayed("a1", 10, journal_);
  ASSERT_TRUE(first);
  EXPECT_EQ(*first, (Receipt{"a1", "displayed"}));
  journal_.add(*first);
  EXPECT_FALSE(tracker_.displayed("a1", 11, journal_));
  EXPECT_FALSE(tracker_.displayed("a2", 10, journal_));
  EXPECT_FALSE(tracker_.displayed("never-polled", 10, journal_));
}

TEST_F(AlertTrackerTest, AcknowledgementNeedsADisplayedAlertAndKeepsItOffTheScreen) {
  record(tracker_.apply_poll(Json::array({row("a1"), row("a2")}), journal_));
  // Pressed before the window reported itself: nothing the server would take.
  EXPECT_FALSE(tracker_.acknowledged("a2", journal_));
  tracker_.displayed("a1", 10, journal_);
  auto ack = tracker_.acknowledged("a1", journal_);
  ASSERT_TRUE(ack);
  EXPECT_EQ(*ack, (Receipt{"a1", "acknowledged"}));
  journal_.add(*ack);
  EXPECT_FALSE(tracker_.acknowledged("a1", journal_));  // twice: once only

  // The server still lists a1 until the acknowledgement reaches it.
  PollPlan next = tracker_.apply_poll(Json::array({row("a1"), row("a2")}), journal_);
  EXPECT_TRUE(next.show.empty());
  EXPECT_TRUE(next.receipts.empty());

  // After a restart a fresh tracker learns it from the journal.
  AlertTracker restarted;
  PollPlan plan = restarted.apply_poll(Json::array({row("a1"), row("a3")}), journal_);
  EXPECT_EQ(ids(plan.show), std::vector<std::string>{"a3"});
  EXPECT_EQ(plan.receipts, (std::vector<Receipt>{{"a3", "received"}}));
}

TEST_F(AlertTrackerTest, AutoAcknowledgementFallsDueOnlyAfterDisplay) {
  record(tracker_.apply_poll(Json::array({row("a1"), row("a2")}), journal_));
  EXPECT_FALSE(tracker_.next_auto_ack(5));
  tracker_.displayed("a1", 100, journal_);
  tracker_.displayed("a2", 102, journal_);
  EXPECT_EQ(tracker_.next_auto_ack(5), 105);
  EXPECT_TRUE(tracker_.due_for_auto_ack(104.9, 5).empty());
  EXPECT_EQ(tracker_.due_for_auto_ack(105, 5), std::vector<std::string>{"a1"});
  EXPECT_EQ(tracker_.due_for_auto_ack(107, 5), (std::vector<std::string>{"a1", "a2"}));
}

}  // namespace
}  // namespace halvenor::agent
