#include "platform/instance_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace halvenor::platform {

bool claim_instance(const std::filesystem::path& state_folder) {
  const std::string path = (state_folder / "agent.lock").string();
  // Left open on purpose: the lock lives as long as the process.
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  return fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
}

}  // namespace halvenor::platform
