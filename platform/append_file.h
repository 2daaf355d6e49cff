// A file that only grows, each append on disk before it returns: the agent's
// receipt journal. Created readable and writable by its owner only (0600 on
// Linux, an access list naming the current user alone on Windows); when the
// file is new, its folder entry is flushed too, so a power cut cannot lose
// the file with its first lines.
//
// Linux: platform/append_file.cpp (O_APPEND, fdatasync). Windows:
// platform/windows/append_file.cpp (FILE_APPEND_DATA, FlushFileBuffers).
//
// Errors: std::runtime_error with the system's reason (the caller names the
// file). Not thread-safe: the owner serialises appends.
#pragma once

#include <filesystem>
#include <string_view>

namespace halvenor::platform {

class AppendFile {
 public:
  explicit AppendFile(const std::filesystem::path& file);
  ~AppendFile();
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // The reason names the failing step: "cannot write: ...", "cannot flush to disk: ...".
  void append(std::string_view bytes);

 private:
  void* handle_ = nullptr;  // the descriptor or HANDLE
};

}  // namespace halvenor::platform
