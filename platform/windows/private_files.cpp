// Windows implementation of net/private_files.h: owner-only access lists
// stand for 0600/0700, and a replaced file is written to a temporary file,
// flushed (FlushFileBuffers) and moved over the old one with
// MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH, which returns only once
// the rename is on disk.
#include "net/private_files.h"

#include <windows.h>

#include <atomic>
#include <fstream>
#include <stdexcept>

#include "platform/windows/owner_only_access.h"

namespace halvenor::setup {
namespace {

constexpr int kTemporaryNameAttempts = 16;

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path, DWORD error) {
  throw std::runtime_error(what + " " + path.string() + ": " + platform::win32::system_message(error));
}

}  // namespace

void private_write(const std::filesystem::path& path, std::string_view bytes) {
  static std::atomic<unsigned> counter{0};
  platform::win32::OwnerOnlyAccess access;
  std::filesystem::path temporary;
  HANDLE file = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && file == INVALID_HANDLE_VALUE; ++attempt) {
    temporary = path;
    temporary += ".tmp-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(counter++);
    file = CreateFileW(temporary.wstring().c_str(), GENERIC_WRITE, 0, access.attributes(), CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE && GetLastError() != ERROR_FILE_EXISTS) fail("cannot create", temporary, GetLastError());
  }
  if (file == INVALID_HANDLE_VALUE) fail("cannot create", temporary, GetLastError());
  const char* step = nullptr;
  while (!bytes.empty() && step == nullptr) {
    DWORD written = 0;
    const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    if (!WriteFile(file, bytes.data(), chunk, &written, nullptr)) step = "cannot write";
    bytes.remove_prefix(written);
  }
  if (step == nullptr && !FlushFileBuffers(file)) step = "cannot flush";
  DWORD error = GetLastError();
  CloseHandle(file);
  if (step == nullptr &&
      !MoveFileExW(temporary.wstring().c_str(), path.wstring().c_str(),
                   MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
    step = "cannot replace";
    error = GetLastError();
  }
  if (step != nullptr) {
    DeleteFileW(temporary.wstring().c_str());
    fail(step, path, error);
  }
}

void ensure_private_folder(const std::filesystem::path& path) {
  if (path.empty()) throw std::runtime_error("cannot create a folder with an empty path");
  std::error_code error;
  std::filesystem::create_directories(path, error);
  if (error) throw std::runtime_error("cannot create " + path.string() + ": " + error.message());
  if (!std::filesystem::is_directory(path, error))
    throw std::runtime_error("cannot create " + path.string() + ": it exists and is not a folder");
  platform::win32::OwnerOnlyAccess().apply_to(path);
}

std::string read_file(const std::filesystem::path& path, std::size_t max_bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot open " + path.string() + ": " + platform::win32::system_message(GetLastError()));
  std::string content;
  char chunk[64 * 1024];
  while (in) {
    in.read(chunk, sizeof chunk);
    const auto got = static_cast<std::size_t>(in.gcount());
    if (got > max_bytes - content.size())
      throw std::runtime_error("file too large (over " + std::to_string(max_bytes) + " bytes): " + path.string());
    content.append(chunk, got);
  }
  if (in.bad()) throw std::runtime_error("cannot read " + path.string());
  return content;
}

}  // namespace halvenor::setup
