#include "net/private_files.h"

#include <atomic>
#include <cerrno>
#include <stdexcept>
#include <system_error>

// Platform boundary: everything below is POSIX (file modes, open/fsync/rename).
// On Windows, owner-only access is an ACL on the file and folder; that
// implementation is still to be written, so the build stops here rather than
// writing secrets with default permissions.
#ifdef _WIN32
#error "private_files.cpp: the Windows ACL implementation is not written yet"
#endif
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/file_descriptor.h"

namespace halvenor::setup {
namespace {

constexpr mode_t kPrivateFileMode = 0600;
constexpr mode_t kPrivateFolderMode = 0700;
// Temporary names are unique within this process; another process (or a
// crashed earlier run) might hold one, so a few fresh names are tried.
constexpr int kTemporaryNameAttempts = 16;
constexpr std::size_t kReadChunkBytes = 64 * 1024;

[[noreturn]] void fail(const std::string& what, const std::filesystem::path& path, int error) {
  throw std::runtime_error(what + " " + path.string() + ": " +
                           std::system_category().message(error));
}

using platform::FileDescriptor;

int open_retrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

// Returns 0 or an errno value.
int write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return 0;
}

std::filesystem::path folder_of(const std::filesystem::path& path) {
  std::filesystem::path folder = path.parent_path();
  return folder.empty() ? std::filesystem::path(".") : folder;
}

void sync_folder(const std::filesystem::path& folder) {
  FileDescriptor fd(open_retrying(folder.c_str(), O_RDONLY | O_DIRECTORY));
  if (fd.get() < 0) fail("cannot open folder", folder, errno);
  if (::fsync(fd.get()) != 0) fail("cannot flush folder", folder, errno);
}

std::atomic<unsigned long> temporary_counter{0};

std::filesystem::path temporary_name(const std::filesystem::path& path) {
  std::filesystem::path name = path;
  name += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(++temporary_counter);
  return name;
}

void make_folder(const std::filesystem::path& folder) {
  if (::mkdir(folder.c_str(), kPrivateFolderMode) == 0) {
    // mkdir's mode is reduced by the umask; set it exactly.
    if (::chmod(folder.c_str(), kPrivateFolderMode) != 0) fail("cannot protect", folder, errno);
    return;
  }
  int error = errno;
  struct stat info;
  if (error != EEXIST) fail("cannot create folder", folder, error);
  if (::stat(folder.c_str(), &info) != 0) fail("cannot inspect", folder, errno);
  if (!S_ISDIR(info.st_mode)) fail("cannot create folder", folder, ENOTDIR);
}

// Brings the temporary file to its final state and moves it into place.
// Returns 0, or an errno value with *step naming what failed.
int fill_and_rename(FileDescriptor& fd, const std::filesystem::path& temporary,
                    const std::filesystem::path& path, std::string_view bytes,
                    const char** step) {
  // The umask may have removed bits, never added them; fchmod makes it exact.
  *step = "cannot protect";
  if (::fchmod(fd.get(), kPrivateFileMode) != 0) return errno;
  *step = "cannot write";
  if (int error = write_all(fd.get(), bytes); error != 0) return error;
  *step = "cannot flush";
  if (::fsync(fd.get()) != 0) return errno;
  *step = "cannot close";
  if (int error = fd.close(); error != 0) return error;
  *step = "cannot replace";
  if (::rename(temporary.c_str(), path.c_str()) != 0) return errno;
  return 0;
}

}  // namespace

void private_write(const std::filesystem::path& path, std::string_view bytes) {
  std::filesystem::path temporary;
  int fd_number = -1;
  for (int attempt = 0; attempt < kTemporaryNameAttempts && fd_number < 0; ++attempt) {
    temporary = temporary_name(path);
    fd_number = open_retrying(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL, kPrivateFileMode);
    if (fd_number < 0 && errno != EEXIST) fail("cannot create a file beside", path, errno);
  }
  if (fd_number < 0) fail("cannot create a file beside", path, EEXIST);

  FileDescriptor fd(fd_number);
  const char* step = "";
  if (int error = fill_and_rename(fd, temporary, path, bytes, &step); error != 0) {
    ::unlink(temporary.c_str());
    fail(step, path, error);
  }
  sync_folder(folder_of(path));
}

void ensure_private_folder(const std::filesystem::path& path) {
  if (path.empty()) throw std::runtime_error("cannot create a folder with an empty path");
  std::filesystem::path prefix;
  for (const std::filesystem::path& part : path) {
    if (part.empty()) continue;  // the element after a trailing separator
    prefix /= part;
    if (prefix == prefix.root_path()) continue;
    make_folder(prefix);
  }
  if (::chmod(path.c_str(), kPrivateFolderMode) != 0) fail("cannot protect", path, errno);
}

std::string read_file(const std::filesystem::path& path, std::size_t max_bytes) {
  FileDescriptor fd(open_retrying(path.c_str(), O_RDONLY));
  if (fd.get() < 0) fail("cannot open", path, errno);
  std::string content;
  char chunk[kReadChunkBytes];
  for (;;) {
    ssize_t got = ::read(fd.get(), chunk, sizeof chunk);
    if (got < 0) {
      if (errno == EINTR) continue;
      fail("cannot read", path, errno);
    }
    if (got == 0) return content;
    if (static_cast<std::size_t>(got) > max_bytes - content.size()) {
      throw std::runtime_error("file too large (over " + std::to_string(max_bytes) +
                               " bytes): " + path.string());
    }
    content.append(chunk, static_cast<std::size_t>(got));
  }
}

}  // namespace halvenor::setup
