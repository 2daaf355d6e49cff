// A private temporary folder for one test, removed with everything in it when
// the object goes. Not thread-safe; owned by one test.
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace halvenor::test_support {

class TempFolder {
 public:
  // Creates a fresh folder (mode 0700) in /dev/shm when the machine has it,
  // else under the system temporary folder. Throws std::runtime_error when
  // it cannot.
  TempFolder();
  // On the disk that holds the system temporary folder, for tests of how the
  // service meets file-system faults that a memory folder does not have.
  struct OnDisk {};
  explicit TempFolder(OnDisk);
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The path of `name` inside the folder, as text.
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  // Writes `content` to `name` inside the folder (making its parent folders)
  // and returns its path. Throws std::runtime_error when it cannot.
  std::filesystem::path write(const std::string& name, std::string_view content) const;

 private:
  std::filesystem::path path_;
};

}  // namespace halvenor::test_support
