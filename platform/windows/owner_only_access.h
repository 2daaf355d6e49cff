// Windows' counterpart of mode 0600/0700: a protected access list that
// grants the current user (the process token's user) full access and no one
// else any, inherited by what a folder holds. Windows-only helper of
// platform/windows/.
//
// Errors: std::runtime_error with the system's reason.
#pragma once

#include <windows.h>

#include <filesystem>
#include <memory>
#include <string>

namespace halvenor::platform::win32 {

// A security descriptor for CreateFileW / CreateDirectoryW; keep it alive
// while `attributes` is used.
class OwnerOnlyAccess {
 public:
  OwnerOnlyAccess();
  ~OwnerOnlyAccess();
  OwnerOnlyAccess(const OwnerOnlyAccess&) = delete;
  OwnerOnlyAccess& operator=(const OwnerOnlyAccess&) = delete;

  SECURITY_ATTRIBUTES* attributes() { return &attributes_; }
  // Replaces an existing file's or folder's access list with this one.
  void apply_to(const std::filesystem::path& path) const;

 private:
  std::unique_ptr<unsigned char[]> user_;  // TOKEN_USER
  ACL* acl_ = nullptr;
  SECURITY_DESCRIPTOR descriptor_{};
  SECURITY_ATTRIBUTES attributes_{};
};

// The text of a Windows error code.
std::string system_message(DWORD error);

// The current user's name ("" when unknown).
std::wstring user_name();

}  // namespace halvenor::platform::win32
