#include "server/core/write_batch.h"

namespace halvenor {

void WriteBatch::run(Database& database, const Write& write) {
  Pending mine;
  mine.write = &write;
  std::unique_lock lock(mutex_);
  waiting_.push_back(&mine);
  while (!mine.done) {
    if (running_) {
      finished_.wait(lock);
      continue;
    }
    running_ = true;
    std::vector<Pending*> batch;
    batch.swap(waiting_);
    lock.unlock();
    apply(database, batch);
    lock.lock();
    for (Pending* pending : batch) pending->done = true;
    running_ = false;
    finished_.notify_all();
  }
  lock.unlock();
  if (mine.error) std::rethrow_exception(mine.error);
}

void WriteBatch::apply(Database& database, const std::vector<Pending*>& batch) {
  try {
    DbScope scope(database);
    Connection& conn = scope.conn();
    scope.begin_shared_flush();
    for (Pending* pending : batch) {
      conn.exec("SAVEPOINT batched_write");
      try {
        (*pending->write)(conn);
      } catch (...) {
        pending->error = std::current_exception();
        conn.exec("ROLLBACK TO batched_write");
      }
      conn.exec("RELEASE batched_write");
    }
    scope.commit();
  } catch (...) {
    // Nothing of the batch was kept: every write not refused already fails
    // with the transaction.
    for (Pending* pending : batch) {
      if (!pending->error) pending->error = std::current_exception();
    }
  }
}

}  // namespace halvenor
