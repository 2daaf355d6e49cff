// Fuzz target: the saved server settings file (--settings) as the service
// reads it before binding, and the command line it overrides. Invariants:
// every refusal is a std::runtime_error (the service's usage or start-up
// error), and accepted settings hold a port from 0 to 65535.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "app/command_line.h"

namespace {

// One scratch file per fuzzing process, rewritten for every input.
const std::string& scratch_file() {
  static const std::string path = [] {
    std::string pattern = "/tmp/halvenor-settings-fuzz-XXXXXX";
    int fd = mkstemp(pattern.data());
    if (fd < 0) std::abort();
    close(fd);
    return pattern;
  }();
  return path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace halvenor;
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // The same bytes as a command line: arguments split at line breaks.
  std::vector<std::string> words{"server"};
  for (std::size_t start = 0; start <= bytes.size() && words.size() < 64;) {
    std::size_t end = bytes.find('\n', start);
    if (end == std::string::npos) end = bytes.size();
    words.push_back(bytes.substr(start, end - start));
    start = end + 1;
  }
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  try {
    parse_command_line(static_cast<int>(words.size()), argv.data(), "/nonexistent-root");
  } catch (const std::runtime_error&) {
  }

  {
    std::ofstream out(scratch_file(), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  }
  ServerOptions options;
  options.settings = scratch_file();
  try {
    apply_settings_file(options);
  } catch (const std::runtime_error&) {
    return 0;
  }
  if (options.port < 0 || options.port > 65535) std::abort();
  return 0;
}
