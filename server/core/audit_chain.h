// The audit trail's hash chain: how a row's hash is made, and how a whole
// chain is checked. Every row's `previous` is the hash of the row before it
// (the empty text for the first), and its `hash` is the SHA-256 of the
// canonical JSON of [at, actor, event, detail text, previous].
#pragma once

#include <optional>
#include <string>

#include "base/json_text.h"
#include "server/core/database.h"

namespace halvenor {

std::string audit_row_hash(double at, const Json& actor, const std::string& event, const std::string& detail_text,
                           const std::string& previous);

struct ChainVerdict {
  bool intact = true;
  long long rows = 0;
  std::string last_hash;                // hash of the last row read
  std::optional<long long> broken_seq;  // first row that does not verify
  std::string reason;                   // why it does not
};

// Reads the audit table in seq order, one row at a time.
ChainVerdict verify_audit_chain(Connection& conn);

// {"intact", "rows", "first_broken_seq" (or null), "reason" (or null), "last_hash"}
Json chain_verdict_json(const ChainVerdict& chain);

}  // namespace halvenor
