#include "platform/instance_lock.h"

#include <windows.h>

#include <cwctype>

#include "base/digest.h"
#include "platform/windows/owner_only_access.h"

namespace halvenor::platform {

bool claim_instance(const std::filesystem::path& state_folder) {
  std::wstring folder = std::filesystem::absolute(state_folder).wstring();
  for (wchar_t& c : folder) c = static_cast<wchar_t>(std::towlower(c));
  const std::string bytes(reinterpret_cast<const char*>(folder.data()), folder.size() * sizeof(wchar_t));
  std::wstring user = win32::user_name();
  for (wchar_t& c : user)
    if (c == L'\\') c = L'_';
  const std::string digest = sha256_hex(bytes).substr(0, 16);
  const std::wstring name = L"Local\\HalvenorAgent-" + user + L"-" + std::wstring(digest.begin(), digest.end());
  // Never closed: the mutex lives as long as the process.
  HANDLE mutex = CreateMutexW(nullptr, TRUE, name.c_str());
  return mutex != nullptr && GetLastError() != ERROR_ALREADY_EXISTS;
}

}  // namespace halvenor::platform
