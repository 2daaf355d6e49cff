#include "tests/support/core_harness.h"

#include <stdexcept>

namespace halvenor::test_support {

CoreHarness::CoreHarness()
    : db_path_(folder_.file("core.sqlite3")),
      clock_(std::make_shared<FakeClock>()),
      random_(std::make_shared<CountingRandom>()) {}

CoreHarness::CoreHarness(Json config) : CoreHarness() { start(std::move(config)); }

CoreHarness::~CoreHarness() { stop(); }

Core& CoreHarness::start(Json config) {
  stop();
  parts_ = std::make_unique<ServiceParts>(std::move(config), db_path_, std::nullopt, CoreOptions{clock_, random_});
  return parts_->core();
}

void CoreHarness::stop() { parts_.reset(); }

void CoreHarness::exec(const std::string& sql) {
  Connection conn(db_path_);
  conn.exec(sql);
}

std::vector<Json> CoreHarness::rows(const std::string& sql, const std::vector<Json>& params) {
  Connection conn(db_path_);
  return conn.query(sql, params);
}

Json CoreHarness::row(const std::string& sql, const std::vector<Json>& params) {
  auto found = rows(sql, params);
  if (found.size() != 1) throw std::runtime_error("expected one row from: " + sql);
  return found.front();
}

long long CoreHarness::count(const std::string& table) {
  return row("SELECT COUNT(*) AS n FROM " + table)["n"].get<long long>();
}

TableCounts CoreHarness::counts() {
  return {count("alerts"), count("deliveries"), count("mobile_jobs"), count("audit")};
}

std::vector<std::string> CoreHarness::columns(const std::string& table) {
  Connection conn(db_path_);
  return conn.column_names(table);
}

}  // namespace halvenor::test_support
