// A Core (with the features around it) on a fresh database in a temporary folder, driven by a FakeClock and
// a CountingRandom, with direct read access to the database for assertions.
//
// The database is read and written through connections of the harness's own
// (never the core's), so assertions see only what the core committed.
// Not thread-safe itself; the Core it holds is. Construction throws whatever
// the Core's constructor throws.
#pragma once

#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "app/service_parts.h"
#include "server/core/core.h"
#include "tests/support/fake_time.h"
#include "tests/support/temp_folder.h"

namespace halvenor::test_support {

// Row counts of the tables an alert operation writes.
struct TableCounts {
  long long alerts = 0, deliveries = 0, mobile_jobs = 0, audit = 0;
  bool operator==(const TableCounts&) const = default;
};
inline void PrintTo(const TableCounts& c, std::ostream* os) {
  *os << "{alerts " << c.alerts << ", deliveries " << c.deliveries << ", mobile_jobs " << c.mobile_jobs
      << ", audit " << c.audit << "}";
}

class CoreHarness {
 public:
  explicit CoreHarness(Json config);
  // A harness without a Core yet: start() builds one (for tests that prepare
  // the database file first or expect construction to fail).
  CoreHarness();
  ~CoreHarness();

  // Builds a Core on this harness's database (replacing any current one).
  Core& start(Json config);
  // Destroys the current Core, if any, keeping the database file.
  void stop();

  Core& core() { return parts_->core(); }
  Core* operator->() { return &parts_->core(); }
  ServiceParts& parts() { return *parts_; }
  FakeClock& clock() { return *clock_; }
  const std::string& db_path() const { return db_path_; }
  const TempFolder& folder() const { return folder_; }

  // Runs SQL on a connection of the harness's own.
  void exec(const std::string& sql);
  std::vector<Json> rows(const std::string& sql, const std::vector<Json>& params = {});
  Json row(const std::string& sql, const std::vector<Json>& params = {});  // the single row; throws otherwise
  long long count(const std::string& table);
  TableCounts counts();
  std::vector<std::string> columns(const std::string& table);

 private:
  TempFolder folder_;
  std::string db_path_;
  std::shared_ptr<FakeClock> clock_;
  std::shared_ptr<CountingRandom> random_;
  std::unique_ptr<ServiceParts> parts_;
};

}  // namespace halvenor::test_support
