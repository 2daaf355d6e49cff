#include "platform/user_account.h"

// Windows has no password database; its implementation is a file of its own.
#ifndef _WIN32
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace halvenor::platform {
namespace {

// The reentrant lookup: setup's worker thread and the window may ask at once.
template <typename Lookup>
std::optional<passwd> account(std::vector<char>& buffer, Lookup lookup) {
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  buffer.resize(size > 0 ? static_cast<std::size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (lookup(&entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr) return std::nullopt;
  return entry;
}

}  // namespace

std::filesystem::path home_folder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  std::vector<char> buffer;
  const auto entry = account(buffer, [](passwd* e, char* b, std::size_t n, passwd** f) {
    return getpwuid_r(getuid(), e, b, n, f);
  });
  return entry && entry->pw_dir ? std::filesystem::path(entry->pw_dir) : std::filesystem::path();
}

std::optional<std::filesystem::path> home_folder_of(const std::string& user) {
  std::vector<char> buffer;
  const auto entry = account(buffer, [&](passwd* e, char* b, std::size_t n, passwd** f) {
    return getpwnam_r(user.c_str(), e, b, n, f);
  });
  if (!entry || !entry->pw_dir) return std::nullopt;
  return std::filesystem::path(entry->pw_dir);
}

std::string user_name() {
  std::vector<char> buffer;
  const auto entry = account(buffer, [](passwd* e, char* b, std::size_t n, passwd** f) {
    return getpwuid_r(geteuid(), e, b, n, f);
  });
  return entry && entry->pw_name ? std::string(entry->pw_name) : std::string();
}

bool is_administrator() { return geteuid() == 0; }

}  // namespace halvenor::platform
#endif
