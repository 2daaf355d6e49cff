// Owns one POSIX file descriptor (a file, a socket, a pipe end) and closes it
// exactly once, on every path out of a scope, so that an exception between
// open and close cannot leak it.
//
// Thread-safety: none; one owner at a time (move-only).
#pragma once

#include <unistd.h>

#include <cerrno>
#include <utility>

namespace halvenor::platform {

class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Hands the descriptor to the caller, who closes it.
  int release() noexcept { return std::exchange(fd_, -1); }
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }
  // Returns 0 or an errno value: after writing, a failed close can mean the
  // bytes never reached the disk, so a writer asks instead of leaving it to
  // the destructor.
  int close() noexcept {
    const int result = fd_ >= 0 && ::close(fd_) != 0 ? errno : 0;
    fd_ = -1;
    return result;
  }

 private:
  int fd_ = -1;
};

}  // namespace halvenor::platform
