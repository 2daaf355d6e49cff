// The SQLite store: connections, statements and the connection scope through
// which every operation reaches the database.
//
// A Database owns a pool of connections to one file. Keeping connections open
// keeps SQLite's shared-memory WAL index and the prepared statements alive;
// each DbScope borrows one connection for the length of one operation, so a
// connection is only ever used by one thread at a time.
//
// Writers pass an in-process FIFO gate before "BEGIN IMMEDIATE": threads of
// this process then queue fairly instead of sleeping in SQLite's busy handler,
// while SQLite's own lock (with a 15 s busy time-out) still arbitrates against
// other processes (the wizard, a backup).
//
// Thread-safety: Database is safe to share; Connection and DbScope are not.
// Errors: DatabaseError (a std::runtime_error) for every SQLite failure.
#pragma once

#include <sqlite3.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

#include "base/json_text.h"

namespace halvenor {

inline constexpr int kBusyTimeoutMs = 15000;

class DatabaseError : public std::runtime_error {
 public:
  DatabaseError(const std::string& what, int code) : std::runtime_error(what), code_(code) {}
  int code() const { return code_; }

 private:
  int code_;
};

// Parameters are bound from JSON values: null, integers, doubles, text and
// booleans (as 0/1). Rows come back as JSON objects keyed by column name in
// column order, with SQLite's NULL, INTEGER, REAL and TEXT as null, integer,
// double and string.
using Params = std::initializer_list<Json>;

class Connection {
 public:
  explicit Connection(const std::string& path);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Runs one or more statements without parameters (schema scripts, pragmas).
  void exec(const std::string& sql);
  // Runs one statement; returns the number of rows changed.
  int execute(const std::string& sql, Params params = {});
  int execute(const std::string& sql, const std::vector<Json>& params);
  std::vector<Json> query(const std::string& sql, Params params = {});
  std::vector<Json> query(const std::string& sql, const std::vector<Json>& params);
  std::optional<Json> query_one(const std::string& sql, Params params = {});
  std::vector<std::string> column_names(const std::string& table);

  bool in_transaction() const;
  // Durability of the next commits: FULL syncs the WAL at every commit;
  // NORMAL only at checkpoints (used for heartbeat-only writes).
  void set_synchronous_full(bool full);
  sqlite3* handle() { return db_; }

 private:
  sqlite3_stmt* prepared(const std::string& sql);
  void bind(sqlite3_stmt* stmt, const Json* begin, const Json* end);
  std::vector<Json> collect(sqlite3_stmt* stmt);

  sqlite3* db_ = nullptr;
  bool synchronous_full_ = true;
  std::unordered_map<std::string, sqlite3_stmt*> statements_;
};

// First-come first-served mutual exclusion for writers of this process.
class WriterGate {
 public:
  void lock();
  void unlock();

 private:
  // Each waiter sleeps on its own condition, so handing the gate on wakes
  // exactly the next writer instead of every waiting request thread.
  struct Waiter {
    std::condition_variable turn;
    bool granted = false;
  };
  std::mutex mutex_;
  bool held_ = false;
  std::deque<Waiter*> waiting_;
};

class Database {
 public:
  explicit Database(std::string path);
  ~Database();
  const std::string& path() const { return path_; }
  // Forces what committed transactions wrote to the write-ahead log onto the
  // disk. Callers arriving while a flush runs share the next one: after an
  // alert thousands of receipts commit within seconds, and one flush per
  // batch keeps the disk from queueing one per receipt. Throws
  // std::runtime_error when the system reports a write error.
  void flush_log();

 private:
  friend class DbScope;
  std::unique_ptr<Connection> acquire();
  void release(std::unique_ptr<Connection> conn);

  std::string path_;
  std::mutex pool_mutex_;
  std::vector<std::unique_ptr<Connection>> idle_;
  WriterGate writers_;
  // Group flush: tickets handed out, the newest ticket a finished flush
  // covered, and whether one is running.
  std::mutex flush_mutex_;
  std::condition_variable flushed_;
  std::uint64_t flush_tickets_ = 0;
  std::uint64_t flushed_through_ = 0;
  bool flushing_ = false;
};

// One operation's use of the database. Work done after begin_immediate() or
// begin_relaxed() is kept only by commit(); a scope that ends without it (an
// exception, an early return) rolls back. The connection goes back to the pool
// when the scope ends.
class DbScope {
 public:
  explicit DbScope(Database& db);
  ~DbScope();
  DbScope(const DbScope&) = delete;
  DbScope& operator=(const DbScope&) = delete;

  Connection& conn() { return *conn_; }
  Connection* operator->() { return conn_.get(); }

  // Takes the write lock before the first read, so decisions made on what is
  // read hold until the commit. Fully durable commit.
  void begin_immediate();
  // Same, with a commit that is not synced to disk at once: only for writes
  // whose loss in a power cut is harmless (heartbeats, agent capabilities).
  void begin_relaxed();
  // As durable as begin_immediate(): commit() returns only once the
  // transaction is on disk. The flush of the write-ahead log happens after
  // the write lock has been handed on, so writers committing at the same
  // moment share one flush instead of queueing behind one flush each. For
  // frequent small writes from many clients (receipts).
  void begin_shared_flush();
  void commit();

 private:
  void release_gate();

  Database& db_;
  std::unique_ptr<Connection> conn_;
  bool gate_held_ = false;
  bool shared_flush_ = false;
};

}  // namespace halvenor
