#include "server/core/agent_heartbeats.h"

#include <utility>

namespace halvenor {
namespace {

// The later of two heartbeats of one computer.
void keep_newest(std::unordered_map<std::string, Heartbeat>& into, const std::string& device,
                 const Heartbeat& beat) {
  auto [it, added] = into.try_emplace(device, beat);
  if (!added && beat.seen >= it->second.seen) it->second = beat;
}

void write(Connection& conn, const std::string& device, const Heartbeat& beat) {
  conn.execute(
      "INSERT INTO agent_capabilities(device_id,live_capable,seen,protocol) VALUES(?,?,?,?) "
      "ON CONFLICT(device_id) DO UPDATE SET live_capable=excluded.live_capable,seen=excluded.seen,"
      "protocol=excluded.protocol",
      {device, beat.live_capable ? 1 : 0, beat.seen, beat.protocol});
  conn.execute("INSERT INTO heartbeats VALUES(?,?) ON CONFLICT(device_id) DO UPDATE SET seen=excluded.seen",
               {device, beat.seen});
}

}  // namespace

void AgentHeartbeats::record(Database& database, const std::string& device, Heartbeat beat) {
  {
    std::lock_guard lock(mutex_);
    const auto written = written_.find(device);
    if (written != written_.end() && written->second.first == beat.live_capable &&
        written->second.second == beat.protocol) {
      recorded_.insert_or_assign(device, std::move(beat));
      return;
    }
  }
  std::lock_guard writing(write_mutex_);
  {
    std::lock_guard lock(mutex_);
    recorded_.erase(device);  // older than this one
  }
  DbScope scope(database);
  scope.begin_relaxed();
  write(scope.conn(), device, beat);
  scope.commit();
  std::lock_guard lock(mutex_);
  written_.insert_or_assign(device, std::pair(beat.live_capable, beat.protocol));
}

void AgentHeartbeats::flush(Database& database) {
  std::lock_guard writing(write_mutex_);
  {
    std::lock_guard lock(mutex_);
    if (recorded_.empty()) return;
    writing_.swap(recorded_);
  }
  try {
    DbScope scope(database);
    scope.begin_relaxed();
    for (const auto& [device, beat] : writing_) write(scope.conn(), device, beat);
    scope.commit();
  } catch (...) {
    std::lock_guard lock(mutex_);
    for (const auto& [device, beat] : writing_) keep_newest(recorded_, device, beat);
    writing_.clear();
    throw;
  }
  std::lock_guard lock(mutex_);
  writing_.clear();
}

AgentHeartbeats::Beats AgentHeartbeats::unwritten() const {
  std::lock_guard lock(mutex_);
  Beats beats = writing_;
  for (const auto& [device, beat] : recorded_) keep_newest(beats, device, beat);
  return beats;
}

std::unordered_map<std::string, double> AgentHeartbeats::last_seen(Connection& conn) const {
  const Beats newer = unwritten();
  std::unordered_map<std::string, double> seen;
  for (Json& row : conn.query("SELECT device_id, seen FROM heartbeats")) {
    if (row["device_id"].is_string() && row["seen"].is_number())
      seen.emplace(row["device_id"].get<std::string>(), row["seen"].get<double>());
  }
  for (const auto& [device, beat] : newer) {
    auto [it, added] = seen.try_emplace(device, beat.seen);
    if (!added && beat.seen > it->second) it->second = beat.seen;
  }
  return seen;
}

}  // namespace halvenor
