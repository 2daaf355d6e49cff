// Helper programs the agent runs: certutil for browser trust, a sound player
// for the alarm. Run directly (no shell), with standard input closed, looked
// up on PATH.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace halvenor::agent {

// The program's path when it is on PATH and executable.
std::optional<std::string> find_program(const std::string& name);

struct ProgramResult {
  int status = -1;      // exit status; -1 when it did not end in time or could not start
  std::string output;   // standard output and error, at most kMaxProgramOutput bytes
};
inline constexpr std::size_t kMaxProgramOutput = 16 * 1024;

// Runs argv[0] (a path) and waits at most timeout_seconds; a program still
// running then is killed.
ProgramResult run_program(const std::vector<std::string>& argv, double timeout_seconds);

// Starts argv[0] without waiting for it; the child is reaped by
// reap_finished_programs(). Returns false when it could not start.
bool start_program(const std::vector<std::string>& argv);
void reap_finished_programs();

}  // namespace halvenor::agent
