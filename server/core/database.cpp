#include "server/core/database.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>

#include <fcntl.h>
#include <unistd.h>

namespace halvenor {
namespace {

// Idle connections kept for reuse; more are opened under load and closed
// again when returned to a full pool.
constexpr std::size_t kMaxIdleConnections = 32;

[[noreturn]] void fail(sqlite3* db, int code, const std::string& context) {
  std::string message = context + ": ";
  message += db ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  throw DatabaseError(message, code);
}

}  // namespace

Connection::Connection(const std::string& path) {
  int rc = sqlite3_open_v2(path.c_str(), &db_,
                           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK) {
    std::string message = "cannot open database " + path + ": " +
                          (db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc));
    sqlite3_close_v2(db_);
    db_ = nullptr;
    throw DatabaseError(message, rc);
  }
  sqlite3_busy_timeout(db_, kBusyTimeoutMs);
  sqlite3_extended_result_codes(db_, 1);
  exec("PRAGMA synchronous=FULL");
}

Connection::~Connection() {
  for (auto& [sql, stmt] : statements_) sqlite3_finalize(stmt);
  sqlite3_close_v2(db_);
}

void Connection::exec(const std::string& sql) {
  char* error = nullptr;
  int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &error);
  if (rc != SQLITE_OK) {
    std::string message = error ? error : sqlite3_errstr(rc);
    sqlite3_free(error);
    throw DatabaseError(message, rc);
  }
}

sqlite3_stmt* Connection::prepared(const std::string& sql) {
  auto it = statements_.find(sql);
  if (it != statements_.end()) return it->second;
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v3(db_, sql.c_str(), static_cast<int>(sql.size()),
                              SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
  if (rc != SQLITE_OK) fail(db_, rc, "prepare");
  statements_.emplace(sql, stmt);
  return stmt;
}

void Connection::bind(sqlite3_stmt* stmt, const Json* begin, const Json* end) {
  sqlite3_reset(stmt);
  sqlite3_clear_bindings(stmt);
  int index = 1;
  for (const Json* p = begin; p != end; ++p, ++index) {
    const Json& v = *p;
    int rc = SQLITE_OK;
    if (v.is_null()) {
      rc = sqlite3_bind_null(stmt, index);
    } else if (v.is_boolean()) {
      rc = sqlite3_bind_int64(stmt, index, v.get<bool>() ? 1 : 0);
    } else if (v.is_number_unsigned()) {
      rc = sqlite3_bind_int64(stmt, index, static_cast<sqlite3_int64>(v.get<std::uint64_t>()));
    } else if (v.is_number_integer()) {
      rc = sqlite3_bind_int64(stmt, index, v.get<std::int64_t>());
    } else if (v.is_number_float()) {
      rc = sqlite3_bind_double(stmt, index, v.get<double>());
    } else if (v.is_string()) {
      const std::string& s = v.get_ref<const std::string&>();
      rc = sqlite3_bind_text(stmt, index, s.data(), static_cast<int>(s.size()), SQLITE_TRANSIENT);
    } else {
      // Objects and arrays are stored as JSON text by the callers, never implicitly.
      throw std::invalid_argument("cannot bind a JSON container as an SQL parameter");
    }
    if (rc != SQLITE_OK) fail(db_, rc, "bind");
  }
}

std::vector<Json> Connection::collect(sqlite3_stmt* stmt) {
  std::vector<Json> rows;
  const int columns = sqlite3_column_count(stmt);
  std::vector<std::string> names;
  names.reserve(static_cast<std::size_t>(columns));
  for (int i = 0; i < columns; ++i) names.emplace_back(sqlite3_column_name(stmt, i));
  for (;;) {
    int rc = sqlite3_step(stmt);
    if (rc == SQLITE_DONE) break;
    if (rc != SQLITE_ROW) {
      sqlite3_reset(stmt);
      fail(db_, rc, "step");
    }
    // Column names of one result are distinct, so members are appended
    // without the look-up an object insert would make for each of them.
    Json row = Json::object();
    auto& members = row.get_ref<Json::object_t&>();
    members.reserve(static_cast<std::size_t>(columns));
    for (int i = 0; i < columns; ++i) {
      const std::string& name = names[static_cast<std::size_t>(i)];
      switch (sqlite3_column_type(stmt, i)) {
        case SQLITE_INTEGER:
          members.emplace_back(name, static_cast<std::int64_t>(sqlite3_column_int64(stmt, i)));
          break;
        case SQLITE_FLOAT: members.emplace_back(name, sqlite3_column_double(stmt, i)); break;
        case SQLITE_NULL: members.emplace_back(name, nullptr); break;
        default: {
          const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
          members.emplace_back(name, std::string(text ? text : "", static_cast<std::size_t>(sqlite3_column_bytes(stmt, i))));
        }
      }
    }
    rows.push_back(std::move(row));
  }
  sqlite3_reset(stmt);
  return rows;
}

int Connection::execute(const std::string& sql, Params params) {
  return execute(sql, std::vector<Json>(params));
}

int Connection::execute(const std::string& sql, const std::vector<Json>& params) {
  sqlite3_stmt* stmt = prepared(sql);
  bind(stmt, params.data(), params.data() + params.size());
  int rc = sqlite3_step(stmt);
  sqlite3_reset(stmt);
  if (rc != SQLITE_DONE && rc != SQLITE_ROW) fail(db_, rc, "execute");
  return sqlite3_changes(db_);
}

std::vector<Json> Connection::query(const std::string& sql, Params params) {
  sqlite3_stmt* stmt = prepared(sql);
  bind(stmt, params.begin(), params.end());
  return collect(stmt);
}

std::vector<Json> Connection::query(const std::string& sql, const std::vector<Json>& params) {
  sqlite3_stmt* stmt = prepared(sql);
  bind(stmt, params.data(), params.data() + params.size());
  return collect(stmt);
}

std::optional<Json> Connection::query_one(const std::string& sql, Params params) {
  auto rows = query(sql, params);
  if (rows.empty()) return std::nullopt;
  return std::move(rows.front());
}

std::vector<std::string> Connection::column_names(const std::string& table) {
  std::vector<std::string> names;
  for (const Json& row : query("PRAGMA table_info(" + table + ")"))
    names.push_back(row.at("name").get<std::string>());
  return names;
}

bool Connection::in_transaction() const { return sqlite3_get_autocommit(db_) == 0; }

void Connection::set_synchronous_full(bool full) {
  if (full == synchronous_full_) return;
  // Not through the statement cache: this pragma acts when it is compiled.
  exec(full ? "PRAGMA synchronous=FULL" : "PRAGMA synchronous=NORMAL");
  synchronous_full_ = full;
}

void WriterGate::lock() {
  std::unique_lock lock(mutex_);
  if (!held_ && waiting_.empty()) {
    held_ = true;
    return;
  }
  Waiter me;
  waiting_.push_back(&me);
  me.turn.wait(lock, [&] { return me.granted; });
}

void WriterGate::unlock() {
  std::lock_guard lock(mutex_);
  if (waiting_.empty()) {
    held_ = false;
    return;
  }
  // The gate passes straight to the next writer and stays held.
  Waiter* next = waiting_.front();
  waiting_.pop_front();
  next->granted = true;
  next->turn.notify_one();
}

Database::Database(std::string path) : path_(std::move(path)) {}

namespace {

// Opened anew each time: the log file is removed when the last connection
// closes and created again later, so a kept descriptor could point at a file
// nobody writes any more. The caller's connection keeps it alive now.
void sync_log(const std::string& path) {
  const std::string log = path + "-wal";
  int fd = ::open(log.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    // No log: the database is not in WAL mode (in-memory), or a checkpoint
    // already synced everything into the main file.
    if (errno == ENOENT) return;
    throw std::runtime_error("Cannot open the database log " + log + ": " + std::strerror(errno));
  }
  const int rc = ::fsync(fd);
  const int error = errno;
  ::close(fd);
  if (rc != 0) throw std::runtime_error("Cannot write the database log " + log + " to disk: " + std::strerror(error));
}

}  // namespace

void Database::flush_log() {
  std::unique_lock lock(flush_mutex_);
  // Everything this caller committed is in the log before its ticket; a
  // flush that starts after the ticket was taken covers it.
  const std::uint64_t ticket = ++flush_tickets_;
  while (flushed_through_ < ticket) {
    if (flushing_) {
      flushed_.wait(lock);
      continue;
    }
    flushing_ = true;
    const std::uint64_t covers = flush_tickets_;
    lock.unlock();
    std::exception_ptr failure;
    try {
      sync_log(path_);
    } catch (...) {
      failure = std::current_exception();
    }
    lock.lock();
    flushing_ = false;
    if (!failure) flushed_through_ = std::max(flushed_through_, covers);
    flushed_.notify_all();
    // Those waiting try again with a flush of their own.
    if (failure) std::rethrow_exception(failure);
  }
}

Database::~Database() = default;

std::unique_ptr<Connection> Database::acquire() {
  {
    std::lock_guard lock(pool_mutex_);
    if (!idle_.empty()) {
      auto conn = std::move(idle_.back());
      idle_.pop_back();
      return conn;
    }
  }
  return std::make_unique<Connection>(path_);
}

void Database::release(std::unique_ptr<Connection> conn) {
  std::lock_guard lock(pool_mutex_);
  if (idle_.size() < kMaxIdleConnections) idle_.push_back(std::move(conn));
}

DbScope::DbScope(Database& db) : db_(db), conn_(db.acquire()) {}

DbScope::~DbScope() {
  if (conn_->in_transaction()) {
    // Rollback failing here would leave the connection unusable; drop it then.
    if (sqlite3_exec(conn_->handle(), "ROLLBACK", nullptr, nullptr, nullptr) != SQLITE_OK) {
      release_gate();
      return;
    }
  }
  release_gate();
  try {
    conn_->set_synchronous_full(true);
    db_.release(std::move(conn_));
  } catch (...) {
    // A connection that cannot be reset is closed instead of pooled.
  }
}

// The transaction statements go through the statement cache: every poll runs
// two of them, so they are compiled once per connection, not once per use.
void DbScope::begin_immediate() {
  db_.writers_.lock();
  gate_held_ = true;
  conn_->set_synchronous_full(true);
  conn_->execute("BEGIN IMMEDIATE");
}

void DbScope::begin_relaxed() {
  db_.writers_.lock();
  gate_held_ = true;
  conn_->set_synchronous_full(false);
  conn_->execute("BEGIN IMMEDIATE");
}

void DbScope::begin_shared_flush() {
  begin_relaxed();
  shared_flush_ = true;
}

void DbScope::commit() {
  const bool committed = conn_->in_transaction();
  if (committed) conn_->execute("COMMIT");
  release_gate();
  // The commit is in the log but perhaps only in the page cache; it counts
  // as done for the caller once this flush returns. A crash before then loses
  // it, and the caller, having had no answer, retries.
  if (committed && shared_flush_) db_.flush_log();
}

void DbScope::release_gate() {
  if (gate_held_) {
    gate_held_ = false;
    db_.writers_.unlock();
  }
}

}  // namespace halvenor
