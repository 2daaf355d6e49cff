// Shared pieces of the first-install tests: a complete set of choices, the
// message of whatever an action throws, and a packaged program folder built
// from the real dist/ output.
#pragma once

#include <filesystem>
#include <string>

#include "base/json_text.h"

namespace halvenor::firstrun_test {

// Choices that pass every rule, installing into `folder`.
Json good_values(const std::filesystem::path& folder);

// The what() of the exception the action throws, or "" when it returns.
template <typename Action>
std::string message_of(Action&& action) {
  try {
    action();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// A packaged program folder under `into`: the built server and firstrun
// programs and dist/'s web, docs and assets, plus a few files that packaged
// mode must not copy. Returns its path.
std::filesystem::path packaged_source(const std::filesystem::path& into);

// Mode bits of a file or folder (symbolic links not followed).
unsigned mode_of(const std::filesystem::path& path);

std::string read_all(const std::filesystem::path& path);

// The process whose command line names this exact settings file (the server
// that the finisher started in its own session), or 0.
int server_started_with(const std::string& settings_file);

}  // namespace halvenor::firstrun_test
