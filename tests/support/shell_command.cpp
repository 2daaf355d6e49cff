#include "tests/support/shell_command.h"

#include <sys/wait.h>

#include <cstdio>

namespace halvenor::test_support {

int run_shell(const std::filesystem::path& folder, const std::string& command, std::string* output) {
  const std::string line = "cd '" + folder.string() + "' && " + command + " 2>&1";
  FILE* pipe = popen(line.c_str(), "r");
  if (pipe == nullptr) return -1;
  char buffer[512];
  output->clear();
  while (const std::size_t n = fread(buffer, 1, sizeof buffer, pipe)) output->append(buffer, n);
  const int status = pclose(pipe);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace halvenor::test_support
