#include "tests/support/temp_folder.h"

#include <stdlib.h>

#include <fstream>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace halvenor::test_support {

namespace {

// Memory-backed when the machine offers it: the core syncs every commit to
// disk, which costs ~10 ms a commit on a shared disk and would dominate a
// suite that checks logic, not durability.
constexpr const char* kMemoryFolder = "/dev/shm";

// The first folder that can be made under one of `bases`.
std::filesystem::path make_under(const std::vector<std::filesystem::path>& bases) {
  for (const auto& base : bases) {
    std::string pattern = (base / "halvenor-test-XXXXXX").string();
    // mkdtemp creates the folder with mode 0700.
    if (::mkdtemp(pattern.data()) != nullptr) return pattern;
  }
  throw std::runtime_error("cannot create a temporary folder");
}

}  // namespace

TempFolder::TempFolder() {
  std::vector<std::filesystem::path> bases;
  std::error_code ignored;
  if (std::filesystem::is_directory(kMemoryFolder, ignored)) bases.emplace_back(kMemoryFolder);
  bases.push_back(std::filesystem::temp_directory_path());
  path_ = make_under(bases);
}

TempFolder::TempFolder(OnDisk) : path_(make_under({std::filesystem::temp_directory_path()})) {}

TempFolder::~TempFolder() {
  std::error_code ignored;  // a destructor never throws; a leftover folder is harmless
  std::filesystem::remove_all(path_, ignored);
}

std::filesystem::path TempFolder::write(const std::string& name, std::string_view content) const {
  const std::filesystem::path file = path_ / name;
  std::filesystem::create_directories(file.parent_path());
  std::ofstream out(file, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  if (!out) throw std::runtime_error("cannot write " + file.string());
  return file;
}

}  // namespace halvenor::test_support
