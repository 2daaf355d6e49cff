#include "agent/agent_log.h"

#include "base/text.h"

#include <cstdio>
#include <mutex>

namespace halvenor::agent {

void log_line(std::string_view text) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::fwrite("agent: ", 1, 7, stdout);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

std::string printable(std::string_view text, std::size_t most) { return printable_ascii(text, most); }

}  // namespace halvenor::agent
