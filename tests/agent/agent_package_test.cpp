// What the desktop agent's Debian package installs.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <sstream>

namespace {

// path -> "mode owner" of each entry, as dpkg-deb lists the data archive.
std::map<std::string, std::string> package_entries(const std::filesystem::path& deb) {
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(::popen(("dpkg-deb -c '" + deb.string() + "'").c_str(), "r"), ::pclose);
  std::map<std::string, std::string> out;
  if (!pipe) return out;
  char line[4096];
  while (std::fgets(line, sizeof line, pipe.get())) {
    std::istringstream fields(line);
    std::string mode, owner, size, date, time, path;
    fields >> mode >> owner >> size >> date >> time >> path;
    if (path.size() > 1 && path.back() == '/') path.pop_back();
    out[path] = mode + " " + owner;
  }
  return out;
}

TEST(AgentPackageTest, InstallsTheAgentItsSessionStartersAndTheRolloutFolder) {
  std::filesystem::path deb;
  std::error_code missing;
  const std::filesystem::path packages = std::filesystem::path(HALVENOR_DIST_DIR) / "packages";
  for (const auto& entry : std::filesystem::directory_iterator(packages, missing))
    if (entry.path().extension() == ".deb") deb = entry.path();
  if (deb.empty()) GTEST_SKIP() << "no agent package built (dpkg missing)";

  const auto entries = package_entries(deb);
  const std::map<std::string, std::string> wanted = {
      {"./opt/halvenor-agent/agent", "-rwxr-xr-x root/root"},
      {"./usr/lib/systemd/user/halvenor-agent.service", "-rw-r--r-- root/root"},
      {"./usr/lib/systemd/user/graphical-session.target.wants/halvenor-agent.service", "lrwxrwxrwx root/root"},
      {"./etc/xdg/autostart/halvenor-agent.desktop", "-rw-r--r-- root/root"},
      {"./etc/halvenor-agent", "drwxr-xr-x root/root"},
  };
  for (const auto& [path, mode] : wanted) {
    auto it = entries.find(path);
    ASSERT_NE(it, entries.end()) << path;
    EXPECT_EQ(it->second, mode) << path;
  }
  for (const auto& [path, mode] : entries) {
    if (mode[0] != 'd') {
      EXPECT_TRUE(wanted.count(path)) << "unexpected file " << path;
    }
  }
}

}  // namespace
