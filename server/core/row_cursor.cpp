#include "server/core/row_cursor.h"

#include <string>

namespace halvenor {

RowCursor::RowCursor(Connection& conn, std::string_view sql) : db_(conn.handle()) {
  int rc = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()), 0, &stmt_, nullptr);
  if (rc != SQLITE_OK) fail(rc, "prepare");
}

RowCursor::~RowCursor() { sqlite3_finalize(stmt_); }

void RowCursor::bind(int index, std::string_view text) {
  sqlite3_reset(stmt_);
  int rc = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
  if (rc != SQLITE_OK) fail(rc, "bind");
}

bool RowCursor::next() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  sqlite3_reset(stmt_);
  fail(rc, "step");
}

std::string_view RowCursor::text(int column) const {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
  if (!text) return {};
  return {text, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column))};
}

void RowCursor::fail(int code, const char* context) const {
  throw DatabaseError(std::string(context) + ": " + sqlite3_errmsg(db_), code);
}

}  // namespace halvenor
