// The first install without a window, for scripted and remote installs: the
// same checks, messages and installation as the window, then the service is
// started (unless asked not to) without opening anything on screen.
#pragma once

#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

namespace halvenor::firstrun {

// The command-line help, options included.
std::string usage_text();

// `args` are the options after the program name, "--unattended" included or
// not. Prints the result to `out` (human lines, or one JSON object with
// --json) and failures to `err`. Returns the process exit status: 0 done,
// 1 refused or failed, 2 a usage error.
int run_unattended(const std::vector<std::string>& args, const std::filesystem::path& source, std::ostream& out,
                   std::ostream& err);

}  // namespace halvenor::firstrun
