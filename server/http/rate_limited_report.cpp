#include "server/http/rate_limited_report.h"

#include <cstdio>

namespace halvenor::http {

void report(const std::string& what) {
  const std::string line = "halvenor: " + what + "\n";
  std::fputs(line.c_str(), stderr);
}

void RateLimitedReport::operator()(const std::string& what) {
  using Clock = std::chrono::steady_clock;
  const auto now = Clock::now().time_since_epoch().count();
  auto due = next_.load();
  if (now < due) return;
  const auto next = now + std::chrono::duration_cast<Clock::duration>(kReportInterval).count();
  // Of threads reporting at the same moment, one writes.
  if (!next_.compare_exchange_strong(due, next)) return;
  report(what + " (further reports held back for 10 s)");
}

}  // namespace halvenor::http
