// The writer gate and the shared-flush commit: writers from many threads
// must exclude each other, none may be left asleep when the gate is handed
// on, and a shared-flush transaction is kept only when committed; batched
// writes share transactions yet succeed or fail one by one.
#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "server/core/database.h"
#include "server/core/write_batch.h"
#include "tests/support/temp_folder.h"

namespace halvenor {
namespace {

int count_rows(Database& db) {
  DbScope scope(db);
  return (*scope->query_one("SELECT COUNT(*) AS n FROM t"))["n"].get<int>();
}

TEST(WriterGate, ExcludesWritersAndWakesEveryWaiterInTurn) {
  WriterGate gate;
  long long unguarded = 0;  // only ever touched while holding the gate
  constexpr int kThreads = 8;
  constexpr int kRounds = 2000;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < kRounds; ++i) {
        gate.lock();
        long long seen = unguarded;
        std::this_thread::yield();
        unguarded = seen + 1;
        gate.unlock();
      }
    });
  }
  for (auto& thread : threads) thread.join();  // a lost hand-over would hang here
  EXPECT_EQ(unguarded, static_cast<long long>(kThreads) * kRounds);
}

TEST(SharedFlush, CommittedWritesStayAndAbandonedOnesLeaveNothing) {
  test_support::TempFolder folder;
  Database db(folder.file("store.sqlite3"));
  {
    DbScope scope(db);
    scope->exec("CREATE TABLE IF NOT EXISTS t(v INTEGER)");
  }
  std::vector<std::thread> writers;
  for (int t = 0; t < 4; ++t) {
    writers.emplace_back([&db, t] {
      for (int i = 0; i < 25; ++i) {
        DbScope scope(db);
        scope.begin_shared_flush();
        scope->execute("INSERT INTO t(v) VALUES (?)", {t * 100 + i});
        scope.commit();
      }
    });
  }
  for (auto& writer : writers) writer.join();
  EXPECT_EQ(count_rows(db), 100);

  {
    DbScope scope(db);
    scope.begin_shared_flush();
    scope->execute("INSERT INTO t(v) VALUES (?)", {-1});
  }  // no commit: rolled back
  EXPECT_EQ(count_rows(db), 100);
  // The gate was handed back by the abandoned scope: another writer gets in.
  DbScope scope(db);
  scope.begin_immediate();
  scope->execute("INSERT INTO t(v) VALUES (?)", {-2});
  scope.commit();
  EXPECT_EQ(count_rows(db), 101);
}

TEST(WriteBatch, EachWriteSucceedsOrFailsAloneInASharedTransaction) {
  test_support::TempFolder folder;
  Database db(folder.file("store.sqlite3"));
  {
    DbScope scope(db);
    scope->exec("CREATE TABLE IF NOT EXISTS t(v INTEGER)");
  }
  WriteBatch batch;
  constexpr int kThreads = 8;
  constexpr int kRounds = 50;
  std::vector<int> refused(kThreads, 0);
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; i < kRounds; ++i) {
        try {
          batch.run(db, [&](Connection& conn) {
            conn.execute("INSERT INTO t(v) VALUES (?)", {t * 1000 + i});
            if (i % 10 == 0) throw std::invalid_argument("refused");  // after writing: must not stay
          });
        } catch (const std::invalid_argument&) {
          ++refused[static_cast<std::size_t>(t)];
        }
      }
    });
  }
  for (auto& writer : writers) writer.join();
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(refused[static_cast<std::size_t>(t)], kRounds / 10);
  EXPECT_EQ(count_rows(db), kThreads * (kRounds - kRounds / 10));
  DbScope scope(db);
  EXPECT_EQ((*scope->query_one("SELECT COUNT(*) AS n FROM t WHERE v % 10 = 0"))["n"], 0);
}

}  // namespace
}  // namespace halvenor
