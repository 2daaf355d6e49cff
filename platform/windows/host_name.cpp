#include "platform/host_name.h"

#include <windows.h>

namespace halvenor::platform {

std::string host_name() {
  wchar_t name[256] = {};
  DWORD size = 256;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return {};
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(size), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, name, static_cast<int>(size), out.data(), bytes, nullptr, nullptr);
  return out;
}

}  // namespace halvenor::platform
