#include "server/core/audit_chain.h"

#include "base/digest.h"

namespace halvenor {

std::string audit_row_hash(double at, const Json& actor, const std::string& event, const std::string& detail_text,
                           const std::string& previous) {
  return sha256_hex(json::canonical(Json::array({at, actor, event, detail_text, previous})));
}

ChainVerdict verify_audit_chain(Connection& conn) {
  ChainVerdict verdict;
  sqlite3_stmt* stmt = nullptr;
  // Streamed rather than collected: an auditor's database may hold millions of rows.
  if (sqlite3_prepare_v2(conn.handle(), "SELECT seq,at,actor,event,detail,previous,hash FROM audit ORDER BY seq", -1,
                         &stmt, nullptr) != SQLITE_OK)
    throw DatabaseError(sqlite3_errmsg(conn.handle()), sqlite3_errcode(conn.handle()));
  auto text = [&](int i) {
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt, i));
    return p ? std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt, i))) : std::string();
  };
  std::string expected_previous;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    long long seq = sqlite3_column_int64(stmt, 0);
    ++verdict.rows;
    std::string previous = text(5), hash = text(6);
    Json actor = sqlite3_column_type(stmt, 2) == SQLITE_NULL ? Json(nullptr) : Json(text(2));
    if (verdict.intact) {
      if (previous != expected_previous) {
        verdict.intact = false;
        verdict.broken_seq = seq;
        verdict.reason = "previous does not match the hash of the row before it";
      } else if (audit_row_hash(sqlite3_column_double(stmt, 1), actor, text(3), text(4), previous) != hash) {
        verdict.intact = false;
        verdict.broken_seq = seq;
        verdict.reason = "hash does not match the row's contents";
      }
    }
    expected_previous = hash;
    verdict.last_hash = hash;
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) throw DatabaseError(sqlite3_errmsg(conn.handle()), rc);
  return verdict;
}

Json chain_verdict_json(const ChainVerdict& chain) {
  return {{"intact", chain.intact},
          {"rows", chain.rows},
          {"first_broken_seq", chain.broken_seq ? Json(*chain.broken_seq) : Json(nullptr)},
          {"reason", chain.intact ? Json(nullptr) : Json(chain.reason)},
          {"last_hash", chain.last_hash}};
}

}  // namespace halvenor
