// Where the running program lives. The service serves its web files and keeps
// its default data folder relative to it.
#pragma once

#include <filesystem>

namespace halvenor::platform {

// Absolute path of the running executable.
std::filesystem::path program_file();
// The folder holding it (ROOT).
std::filesystem::path program_folder();

}  // namespace halvenor::platform
