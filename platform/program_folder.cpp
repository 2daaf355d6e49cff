#include "platform/program_folder.h"

#include <system_error>

#ifdef _WIN32
#include <windows.h>
#endif

namespace halvenor::platform {

std::filesystem::path program_file() {
#ifdef _WIN32
  wchar_t buffer[MAX_PATH * 4];
  DWORD n = GetModuleFileNameW(nullptr, buffer, static_cast<DWORD>(std::size(buffer)));
  return std::filesystem::path(std::wstring(buffer, n));
#else
  std::error_code ec;
  auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::filesystem::absolute("server");
  return path;
#endif
}

std::filesystem::path program_folder() { return program_file().parent_path(); }

}  // namespace halvenor::platform
