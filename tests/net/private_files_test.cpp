#include "net/private_files.h"
#include "tests/support/temp_folder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <stdexcept>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace halvenor::setup {
namespace {

namespace fs = std::filesystem;


// Sets the process umask for one test and puts the old one back.
class Umask {
 public:
  explicit Umask(mode_t mask) : old_(::umask(mask)) {}
  ~Umask() { ::umask(old_); }

 private:
  mode_t old_;
};

struct stat status_of(const fs::path& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) throw std::runtime_error("lstat failed");
  return info;
}
mode_t mode_of(const fs::path& path) { return status_of(path).st_mode & 07777; }

std::string content_of(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> names_in(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    names.insert(entry.path().filename().string());
  return names;
}

// The message of the std::runtime_error thrown by f, or a marker.
template <typename F>
std::string failure(F f) {
  try {
    f();
  } catch (const std::runtime_error& e) {
    return e.what();
  }
  return "<no failure>";
}

// ---- private_write -----------------------------------------------------------

TEST(PrivateWriteTest, NewFileIsOwnerOnlyWhateverTheUmask) {
  test_support::TempFolder folder;
  // 0277 would leave a plain open(..., 0600) at 0400.
  Umask mask(0277);
  const fs::path key = folder.path() / "server.key";
  private_write(key, std::string("secret\0bytes", 12));
  EXPECT_EQ(mode_of(key), 0600u);
  EXPECT_EQ(content_of(key), std::string("secret\0bytes", 12));

  const fs::path empty = folder.path() / "empty";
  private_write(empty, "");
  EXPECT_EQ(mode_of(empty), 0600u);
  EXPECT_EQ(fs::file_size(empty), 0u);
}

TEST(PrivateWriteTest, ReplacesTheFileRatherThanRewritingIt) {
  test_support::TempFolder folder;
  const fs::path target = folder.path() / "server-settings.json";
  const fs::path other_name = folder.path() / "other-name";
  { std::ofstream(target) << "old"; }
  fs::permissions(target, fs::perms(0644));
  fs::create_hard_link(target, other_name);
  const ino_t old_inode = status_of(target).st_ino;

  private_write(target, "new");

  EXPECT_EQ(content_of(target), "new");
  EXPECT_EQ(mode_of(target), 0600u);
  EXPECT_NE(status_of(target).st_ino, old_inode);
  // The old file is intact under its other name: it was never opened for
  // writing, so a crash mid-write could not have damaged it.
  EXPECT_EQ(content_of(other_name), "old");
  EXPECT_EQ(names_in(folder.path()), (std::set<std::string>{"server-settings.json", "other-name"}));
}

TEST(PrivateWriteTest, ReplacesALinkNotItsTarget) {
  test_support::TempFolder folder;
  const fs::path elsewhere = folder.path() / "elsewhere";
  const fs::path link = folder.path() / "server.key";
  { std::ofstream(elsewhere) << "untouched"; }
  fs::create_symlink(elsewhere, link);

  private_write(link, "key");

  EXPECT_FALSE(fs::is_symlink(link));
  EXPECT_EQ(content_of(link), "key");
  EXPECT_EQ(content_of(elsewhere), "untouched");
}

TEST(PrivateWriteTest, FailureNamesThePathAndLeavesNothing) {
  test_support::TempFolder folder;
  const fs::path missing = folder.path() / "missing" / "server.key";
  std::string message = failure([&] { private_write(missing, "key"); });
  EXPECT_NE(message.find(missing.string()), std::string::npos) << message;
  EXPECT_TRUE(names_in(folder.path()).empty());

  // Renaming over a folder fails after the temporary file was written; it
  // must be removed again.
  const fs::path occupied = folder.path() / "occupied";
  fs::create_directories(occupied / "inside");
  message = failure([&] { private_write(occupied, "key"); });
  EXPECT_NE(message.find(occupied.string()), std::string::npos) << message;
  EXPECT_EQ(names_in(folder.path()), std::set<std::string>{"occupied"});
}

// ---- ensure_private_folder -----------------------------------------------------

TEST(PrivateFolderTest, CreatesEveryMissingLevelOwnerOnly) {
  test_support::TempFolder folder;
  Umask mask(022);
  const fs::path deep = folder.path() / "data" / "deployment" / "keys";
  ensure_private_folder(deep);
  EXPECT_EQ(mode_of(folder.path() / "data"), 0700u);
  EXPECT_EQ(mode_of(folder.path() / "data" / "deployment"), 0700u);
  EXPECT_EQ(mode_of(deep), 0700u);
  ensure_private_folder(deep);  // already there: fine
  EXPECT_EQ(mode_of(deep), 0700u);
}

TEST(PrivateFolderTest, TightensAnExistingFolderOnly) {
  test_support::TempFolder folder;
  const fs::path parent = folder.path() / "shared";
  const fs::path existing = parent / "deployment";
  fs::create_directories(existing);
  fs::permissions(parent, fs::perms(0755));
  fs::permissions(existing, fs::perms(0777));
  ensure_private_folder(existing.string() + "/");
  EXPECT_EQ(mode_of(existing), 0700u);
  EXPECT_EQ(mode_of(parent), 0755u);
}

TEST(PrivateFolderTest, RefusesAFileInTheWay) {
  test_support::TempFolder folder;
  const fs::path file = folder.path() / "file";
  { std::ofstream(file) << "x"; }
  EXPECT_NE(failure([&] { ensure_private_folder(file); }).find(file.string()), std::string::npos);
  EXPECT_NE(failure([&] { ensure_private_folder(file / "below"); }).find(file.string()),
            std::string::npos);
  EXPECT_TRUE(fs::is_regular_file(file));
}

// ---- read_file ---------------------------------------------------------------------

TEST(ReadFileTest, ReadsWholeFilesUpToTheLimit) {
  test_support::TempFolder folder;
  const fs::path path = folder.path() / "chain.pem";
  std::string large(200 * 1024, 'x');
  large[1000] = '\0';
  private_write(path, large);
  EXPECT_EQ(read_file(path, large.size()), large);

  const std::string message = failure([&] { read_file(path, large.size() - 1); });
  EXPECT_NE(message.find(path.string()), std::string::npos) << message;
  EXPECT_NE(message.find("too large"), std::string::npos) << message;

  const fs::path empty = folder.path() / "empty";
  private_write(empty, "");
  EXPECT_EQ(read_file(empty, 0), "");
}

TEST(ReadFileTest, FailureNamesThePath) {
  test_support::TempFolder folder;
  const fs::path missing = folder.path() / "missing.json";
  EXPECT_NE(failure([&] { read_file(missing, 100); }).find(missing.string()), std::string::npos);
  EXPECT_NE(failure([&] { read_file(folder.path(), 100); }).find(folder.path().string()),
            std::string::npos);
}

}  // namespace
}  // namespace halvenor::setup
