#include "platform/windows/owner_only_access.h"

#include <aclapi.h>

#include <stdexcept>
#include <system_error>

namespace halvenor::platform::win32 {

std::string system_message(DWORD error) { return std::system_category().message(static_cast<int>(error)); }

std::wstring user_name() {
  wchar_t name[257] = {};
  DWORD size = 257;
  return GetUserNameW(name, &size) ? std::wstring(name) : std::wstring();
}

OwnerOnlyAccess::OwnerOnlyAccess() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
    throw std::runtime_error("cannot read this process's user: " + system_message(GetLastError()));
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  user_ = std::make_unique<unsigned char[]>(size);
  const BOOL read = GetTokenInformation(token, TokenUser, user_.get(), size, &size);
  const DWORD error = GetLastError();
  CloseHandle(token);
  if (!read) throw std::runtime_error("cannot read this process's user: " + system_message(error));

  EXPLICIT_ACCESSW access{};
  access.grfAccessPermissions = GENERIC_ALL;
  access.grfAccessMode = SET_ACCESS;
  access.grfInheritance = SUB_CONTAINERS_AND_OBJECTS_INHERIT;
  access.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  access.Trustee.TrusteeType = TRUSTEE_IS_USER;
  access.Trustee.ptstrName = static_cast<LPWSTR>(reinterpret_cast<TOKEN_USER*>(user_.get())->User.Sid);
  if (DWORD status = SetEntriesInAclW(1, &access, nullptr, &acl_); status != ERROR_SUCCESS)
    throw std::runtime_error("cannot build an access list: " + system_message(status));
  InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION);
  SetSecurityDescriptorDacl(&descriptor_, TRUE, acl_, FALSE);
  // Protected: nothing inherited from the parent folder widens it.
  SetSecurityDescriptorControl(&descriptor_, SE_DACL_PROTECTED, SE_DACL_PROTECTED);
  attributes_.nLength = sizeof attributes_;
  attributes_.lpSecurityDescriptor = &descriptor_;
  attributes_.bInheritHandle = FALSE;
}

OwnerOnlyAccess::~OwnerOnlyAccess() {
  if (acl_ != nullptr) LocalFree(acl_);
}

void OwnerOnlyAccess::apply_to(const std::filesystem::path& path) const {
  std::wstring name = path.wstring();
  const DWORD status =
      SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                            nullptr, nullptr, acl_, nullptr);
  if (status != ERROR_SUCCESS)
    throw std::runtime_error("cannot protect " + path.string() + ": " + system_message(status));
}

}  // namespace halvenor::platform::win32
