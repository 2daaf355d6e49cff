#include "platform/append_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace halvenor::platform {
namespace {

int descriptor(void* handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)) - 1; }

[[noreturn]] void fail(const std::string& what) { throw std::runtime_error(what + ": " + std::strerror(errno)); }

}  // namespace

AppendFile::AppendFile(const std::filesystem::path& file) {
  std::error_code missing;
  const bool created = !std::filesystem::exists(file, missing);
  const int fd = ::open(file.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) fail("cannot open");
  ::fchmod(fd, 0600);
  handle_ = reinterpret_cast<void*>(static_cast<std::intptr_t>(fd) + 1);
  if (created) {
    const std::string parent = file.has_parent_path() ? file.parent_path().string() : ".";
    int folder = ::open(parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder >= 0) {
      ::fsync(folder);
      ::close(folder);
    }
  }
}

AppendFile::~AppendFile() {
  if (handle_ != nullptr) ::close(descriptor(handle_));
}

void AppendFile::append(std::string_view bytes) {
  const int fd = descriptor(handle_);
  while (!bytes.empty()) {
    ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("cannot write");
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  if (::fdatasync(fd) != 0) fail("cannot flush to disk");
}

}  // namespace halvenor::platform
