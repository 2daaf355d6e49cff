// Helper programs the agent runs: certutil for browser trust, a sound player
// for the alarm. Run directly (no shell), with standard input closed, through
// the platform's process runner.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace halvenor::agent {

// The program's path when it is on PATH (or in the sbin folders) and executable.
std::optional<std::string> find_program(const std::string& name);

struct ProgramResult {
  int status = -1;      // exit status; -1 when it did not end in time, could not start or was killed
  std::string output;   // standard output, then standard error, at most kMaxProgramOutput bytes
};
inline constexpr std::size_t kMaxProgramOutput = 16 * 1024;

// Runs argv[0] (a path) and waits at most timeout_seconds; a program still
// running then is killed.
ProgramResult run_program(const std::vector<std::string>& argv, double timeout_seconds);

// Starts argv[0] without waiting for it; it is reaped in the background once
// it ends. Returns false when it could not start.
bool start_program(const std::vector<std::string>& argv);

}  // namespace halvenor::agent
