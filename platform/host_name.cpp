#include "platform/host_name.h"

#include <unistd.h>

namespace halvenor::platform {

std::string host_name() {
  char name[256] = {};
  if (::gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

}  // namespace halvenor::platform
