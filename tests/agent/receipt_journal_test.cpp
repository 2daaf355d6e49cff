// The receipt journal across restarts: order, settlement, torn lines and
// compaction.
#include "agent/receipt_journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "tests/support/temp_folder.h"

namespace halvenor::agent {
namespace {

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void append_raw(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::app);
  out << bytes;
}

class ReceiptJournalTest : public ::testing::Test {
 protected:
  test_support::TempFolder folder_;
  std::string file_ = folder_.file("receipts.journal");
};

TEST_F(ReceiptJournalTest, PendingReceiptsKeepTheirOrderAcrossRestartsUntilSettled) {
  {
    ReceiptJournal journal(file_);
    EXPECT_TRUE(journal.add({"a1", "received"}));
    EXPECT_TRUE(journal.add({"a2", "received"}));
    EXPECT_TRUE(journal.add({"a1", "displayed"}));
    EXPECT_FALSE(journal.add({"a1", "received"}));  // known: nothing written
    journal.settle({"a2", "received"}, ReceiptState::Accepted);
    EXPECT_TRUE(journal.add({"a1", "acknowledged"}));
  }
  struct stat info {};
  ASSERT_EQ(::stat(file_.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  ReceiptJournal reopened(file_);
  EXPECT_EQ(reopened.pending(),
            (std::vector<Receipt>{{"a1", "received"}, {"a1", "displayed"}, {"a1", "acknowledged"}}));
  EXPECT_EQ(reopened.state({"a2", "received"}), ReceiptState::Accepted);
  EXPECT_TRUE(reopened.has("a1", "acknowledged"));
  EXPECT_FALSE(reopened.has("a2", "displayed"));
  // A settled receipt is not pending again even when offered again.
  EXPECT_FALSE(reopened.add({"a2", "received"}));
  reopened.settle({"a1", "received"}, ReceiptState::Refused);
  reopened.settle({"a1", "received"}, ReceiptState::Accepted);  // already settled: ignored
  EXPECT_EQ(reopened.state({"a1", "received"}), ReceiptState::Refused);
  EXPECT_EQ(reopened.skipped_lines(), 0u);
}

TEST_F(ReceiptJournalTest, TornLastLineIsIgnoredAndCutOffBeforeTheNextWrite) {
  {
    ReceiptJournal journal(file_);
    journal.add({"a1", "received"});
    journal.add({"a1", "displayed"});
  }
  // A crash in the middle of writing the settlement of "received".
  append_raw(file_, "{\"alert\": \"a1\", \"event\": \"received\", \"sta");
  {
    ReceiptJournal journal(file_);
    EXPECT_EQ(journal.skipped_lines(), 1u);
    EXPECT_EQ(journal.pending(), (std::vector<Receipt>{{"a1", "received"}, {"a1", "displayed"}}));
    journal.settle({"a1", "received"}, ReceiptState::Accepted);
  }
  const std::string text = read_all(file_);
  EXPECT_EQ(text.find("\"sta{"), std::string::npos) << text;
  ReceiptJournal again(file_);
  EXPECT_EQ(again.skipped_lines(), 0u);
  EXPECT_EQ(again.pending(), (std::vector<Receipt>{{"a1", "displayed"}}));
}

TEST_F(ReceiptJournalTest, DamagedLinesInTheMiddleAreSkippedNotFatal) {
  {
    ReceiptJournal journal(file_);
    journal.add({"a1", "received"});
  }
  append_raw(file_, "garbage\n{\"alert\": \"a2\", \"event\": \"opened\", \"state\": \"pending\"}\n");
  append_raw(file_, "{\"alert\": \"a3\", \"event\": \"received\", \"state\": \"pending\"}\n");
  ReceiptJournal journal(file_);
  EXPECT_EQ(journal.skipped_lines(), 2u);
  EXPECT_EQ(journal.pending(), (std::vector<Receipt>{{"a1", "received"}, {"a3", "received"}}));
}

TEST_F(ReceiptJournalTest, CompactionKeepsPendingOrderAndRecentSettlements) {
  ReceiptJournal journal(file_);
  journal.add({"first", "received"});
  const std::size_t alerts = kCompactAfterLines / 2 + 10;
  for (std::size_t i = 0; i < alerts; ++i) {
    Receipt receipt{"x" + std::to_string(i), "acknowledged"};
    journal.add(receipt);
    journal.settle(receipt, ReceiptState::Accepted);
  }
  journal.add({"last", "received"});
  std::size_t lines = 0;
  for (char c : read_all(file_)) lines += c == '\n';
  EXPECT_LT(lines, kCompactAfterLines);
  EXPECT_EQ(journal.pending(), (std::vector<Receipt>{{"first", "received"}, {"last", "received"}}));

  ReceiptJournal reopened(file_);
  EXPECT_EQ(reopened.pending(), (std::vector<Receipt>{{"first", "received"}, {"last", "received"}}));
  // The newest settlements survive; the oldest were dropped.
  EXPECT_TRUE(reopened.has("x" + std::to_string(alerts - 1), "acknowledged"));
  EXPECT_FALSE(reopened.has("x0", "acknowledged"));
}

}  // namespace
}  // namespace halvenor::agent
