#include "agent/child_program.h"

#include <chrono>

#include "platform/hidden_process.h"

namespace halvenor::agent {

std::optional<std::string> find_program(const std::string& name) {
  std::string path = platform::find_program(name);
  if (path.empty()) return std::nullopt;
  return path;
}

ProgramResult run_program(const std::vector<std::string>& argv, double timeout_seconds) {
  ProgramResult result;
  try {
    const auto timeout =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(timeout_seconds));
    platform::ProcessResult ran = platform::run_captured(argv, timeout);
    result.status = ran.exit_status.value_or(-1);
    result.output = (ran.output + ran.error).substr(0, kMaxProgramOutput);
  } catch (const platform::ProcessError& e) {
    result.output = e.what();
  }
  return result;
}

bool start_program(const std::vector<std::string>& argv) {
  try {
    platform::start_detached(argv);
    return true;
  } catch (const platform::ProcessError&) {
    return false;
  }
}

}  // namespace halvenor::agent
