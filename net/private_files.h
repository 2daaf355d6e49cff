// Files that hold secrets (private keys, the saved settings) and the folders
// that contain them.
//
// A private file is readable and writable by its owner only (0600) and is
// replaced atomically: a reader sees the old bytes or the new ones, never a
// mixture, even across a power cut. A private folder is 0700.
//
// Thread-safety: all functions may be called from any thread. Two writers of
// the same path do not corrupt it; the last rename wins.
//
// Errors: every failure throws std::runtime_error whose message names the
// path and the reason. These are faults of the machine or its setup, not
// refusals of a request.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>

namespace halvenor::setup {

// Writes bytes to path through a new 0600 temporary file in the same folder
// (flushed to disk, then renamed over path, then the folder flushed). The
// folder must exist. If path is a symbolic link, the link itself is replaced
// and its target left alone. On failure the old file is untouched and no
// temporary file remains.
void private_write(const std::filesystem::path& path, std::string_view bytes);

// Creates path and any missing parents with mode 0700, and sets an existing
// path to exactly 0700. Parents that already exist are left as they are.
// Throws when path (or a parent) exists and is not a folder.
void ensure_private_folder(const std::filesystem::path& path);

// The whole content of a file. Throws when it cannot be opened or read, or
// holds more than max_bytes.
std::string read_file(const std::filesystem::path& path, std::size_t max_bytes);

}  // namespace halvenor::setup
