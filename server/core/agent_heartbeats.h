// When each computer's agent last polled, and what it said it can show.
//
// A poll records its heartbeat here, in memory, and writes nothing: at a
// fleet's poll rate (a thousand a second for 5,000 computers) the per-poll
// write transaction was the busiest lock in the service, and every receipt
// after an alert queued behind it. flush() writes everything recorded since
// the last one in a single transaction; the service calls it about twice a
// second and at shutdown, so a crash loses at most that much of something
// the next polls restore anyway. What an agent says it can show decides
// whether a live alert may be sent to it, so a change of that (and each
// computer's first poll after a start) is written at once, as before.
//
// last_seen() lays the unwritten heartbeats over the table, so no reader can
// tell when the last flush was; the capabilities table is always current.
//
// Thread-safety: every member may be called from any thread at once.
#pragma once

#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>

#include "server/core/database.h"

namespace halvenor {

struct Heartbeat {
  double seen = 0;
  bool live_capable = false;
  std::string protocol;
};

class AgentHeartbeats {
 public:
  // Writes through `database` (not synced at once) when the computer's
  // capability or protocol is not the one last written; database errors
  // then propagate.
  void record(Database& database, const std::string& device, Heartbeat beat);
  // Writes the recorded heartbeats in one transaction (not synced at once);
  // when that fails they are kept for the next call and the error propagates.
  void flush(Database& database);

  // Device id -> when it last polled, through `conn`'s view of the table
  // and the unwritten heartbeats.
  std::unordered_map<std::string, double> last_seen(Connection& conn) const;

 private:
  using Beats = std::unordered_map<std::string, Heartbeat>;
  // Recorded and being written, newest first; copied before the tables are
  // read, so that a heartbeat written meanwhile is seen in one or the other.
  Beats unwritten() const;

  mutable std::mutex mutex_;
  Beats recorded_;
  Beats writing_;  // taken by the flush in progress; cleared once committed
  // Capability and protocol as last written, per computer.
  std::unordered_map<std::string, std::pair<bool, std::string>> written_;
  // One writer at a time, so that an older heartbeat is never written after
  // a newer one.
  std::mutex write_mutex_;
};

}  // namespace halvenor
