#include "tests/support/temp_folder.h"

#include <stdlib.h>

#include <stdexcept>
#include <system_error>
#include <vector>

namespace halvenor::test_support {

namespace {

// Memory-backed when the machine offers it: the core syncs every commit to
// disk, which costs ~10 ms a commit on a shared disk and would dominate a
// suite that checks logic, not durability.
constexpr const char* kMemoryFolder = "/dev/shm";

}  // namespace

TempFolder::TempFolder() {
  std::vector<std::filesystem::path> bases;
  std::error_code ignored;
  if (std::filesystem::is_directory(kMemoryFolder, ignored)) bases.emplace_back(kMemoryFolder);
  bases.push_back(std::filesystem::temp_directory_path());
  for (const auto& base : bases) {
    std::string pattern = (base / "halvenor-core-XXXXXX").string();
    // mkdtemp creates the folder with mode 0700.
    if (::mkdtemp(pattern.data()) != nullptr) {
      path_ = pattern;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary folder");
}

TempFolder::~TempFolder() {
  std::error_code ignored;  // a destructor never throws; a leftover folder is harmless
  std::filesystem::remove_all(path_, ignored);
}

}  // namespace halvenor::test_support
