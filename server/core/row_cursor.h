// The rows of one statement, read column by column where they lie instead of
// as the JSON objects Connection::query builds: for the few reads whose size
// makes building those objects the main cost (the dashboard's delivery rows).
//
// A cursor prepares its statement once on the connection it is given and can
// be run again with new parameters: bind() resets it. Columns are numbered
// from 0 in the order of the SELECT; text read from a row stays valid until
// the next call of next() or bind().
//
// Thread-safety: as the connection it reads through (one thread at a time).
// Errors: DatabaseError for every SQLite failure.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string_view>

#include "server/core/database.h"

namespace halvenor {

class RowCursor {
 public:
  RowCursor(Connection& conn, std::string_view sql);
  ~RowCursor();
  RowCursor(const RowCursor&) = delete;
  RowCursor& operator=(const RowCursor&) = delete;

  // Starts the statement again with text as its parameter `index` (from 1);
  // other parameters keep their values.
  void bind(int index, std::string_view text);
  // Moves to the next row; false after the last one.
  bool next();

  // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_TEXT, SQLITE_BLOB or SQLITE_NULL.
  int type(int column) const { return sqlite3_column_type(stmt_, column); }
  bool is_null(int column) const { return type(column) == SQLITE_NULL; }
  std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
  double real(int column) const { return sqlite3_column_double(stmt_, column); }
  // A column's text (a number's as SQLite writes it); empty for null.
  std::string_view text(int column) const;

 private:
  [[noreturn]] void fail(int code, const char* context) const;

  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace halvenor
