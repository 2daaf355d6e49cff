// Small writes from many request threads, joined into shared transactions.
//
// After an alert, thousands of computers report receipts within seconds,
// each a few rows and an audit entry. One transaction each made the write
// lock the queue every receipt waited in; here the first caller to find no
// batch running takes every write waiting at that moment and applies them in
// one transaction and one disk flush, while the callers arriving meanwhile
// gather for the next batch. Each write still stands alone: it runs under a
// savepoint of its own, so a write that throws is rolled back alone and its
// caller gets its exception, and every caller returns only once its write
// is committed and on disk.
//
// Thread-safety: run() may be called from any number of threads at once.
#pragma once

#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <vector>

#include "server/core/database.h"

namespace halvenor {

class WriteBatch {
 public:
  using Write = std::function<void(Connection&)>;

  // Applies `write` in a transaction shared with other callers' writes;
  // rethrows what it threw, or the commit's error.
  void run(Database& database, const Write& write);

 private:
  struct Pending {
    const Write* write = nullptr;
    std::exception_ptr error;
    bool done = false;
  };
  static void apply(Database& database, const std::vector<Pending*>& batch);

  std::mutex mutex_;
  std::condition_variable finished_;
  std::vector<Pending*> waiting_;
  bool running_ = false;
};

}  // namespace halvenor
