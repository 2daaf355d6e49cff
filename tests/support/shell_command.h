// A shell command run in a folder, for tests that check files with the
// system's own tools (openssl, certutil). Output and errors are captured
// together.
#pragma once

#include <filesystem>
#include <string>

namespace halvenor::test_support {

// Returns the command's exit status (-1 when it could not run or was killed)
// and its output in *output.
int run_shell(const std::filesystem::path& folder, const std::string& command, std::string* output);

}  // namespace halvenor::test_support
