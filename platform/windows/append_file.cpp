#include "platform/append_file.h"

#include <windows.h>

#include <stdexcept>
#include <string>

#include "platform/windows/owner_only_access.h"

namespace halvenor::platform {
namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + win32::system_message(GetLastError()));
}

}  // namespace

AppendFile::AppendFile(const std::filesystem::path& file) {
  win32::OwnerOnlyAccess access;
  // FILE_APPEND_DATA alone: every write goes to the end, like O_APPEND.
  HANDLE handle = CreateFileW(file.wstring().c_str(), FILE_APPEND_DATA | SYNCHRONIZE, FILE_SHARE_READ,
                              access.attributes(), OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) fail("cannot open");
  // NTFS journals the new folder entry itself; nothing else to flush.
  handle_ = handle;
}

AppendFile::~AppendFile() {
  if (handle_ != nullptr) CloseHandle(static_cast<HANDLE>(handle_));
}

void AppendFile::append(std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD written = 0;
    const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
    if (!WriteFile(static_cast<HANDLE>(handle_), bytes.data(), chunk, &written, nullptr)) fail("cannot write");
    bytes.remove_prefix(written);
  }
  if (!FlushFileBuffers(static_cast<HANDLE>(handle_))) fail("cannot flush to disk");
}

}  // namespace halvenor::platform
