// Lines on standard error about what a hostile or broken client is doing.
//
// A flood would otherwise write a line per connection or per attempt; the
// first of every ten seconds names who and what, which is what an operator
// acts on. The service writes no per-request log lines besides these.
#pragma once

#include <atomic>
#include <chrono>
#include <string>

namespace halvenor::http {

inline constexpr std::chrono::seconds kReportInterval{10};

// Writes "halvenor: WHAT\n" to standard error.
void report(const std::string& what);

// At most one report per kReportInterval for one kind of event. Safe to call
// from any thread.
class RateLimitedReport {
 public:
  void operator()(const std::string& what);

 private:
  std::atomic<std::chrono::steady_clock::rep> next_{0};
};

}  // namespace halvenor::http
