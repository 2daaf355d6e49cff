#include "tests/firstrun/firstrun_test_support.h"

#include <dirent.h>
#include <sys/stat.h>

#include <fstream>
#include <sstream>

#include "firstrun/legal_terms.h"

namespace fs = std::filesystem;

namespace halvenor::firstrun_test {

Json good_values(const fs::path& folder) {
  return Json{{"folder", folder.string()}, {"hostname", "localhost"},    {"bind", "127.0.0.1"},
              {"port", "8765"},            {"account", "Administrator"}, {"name", "Administrator"}};
}

fs::path packaged_source(const fs::path& into) {
  const fs::path dist = HALVENOR_DIST_DIR;
  const fs::path source = into / "package";
  fs::create_directories(source);
  for (const char* program : {"server", "firstrun"})
    fs::copy_file(dist / program, source / program);
  for (const char* tree : {"web", "docs", "assets"})
    fs::copy(dist / tree, source / tree, fs::copy_options::recursive);
  // Files a packaged install leaves behind: scripts and code among the data
  // files, and loose files beside the programs.
  std::ofstream(source / "web" / "helper.sh") << "#!/bin/sh\n";
  std::ofstream(source / "docs" / "notes.cpp") << "int x;\n";
  std::ofstream(source / "README-package.txt") << "not copied\n";
  return source;
}

unsigned mode_of(const fs::path& path) {
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) return 0;
  return info.st_mode & 07777;
}

std::string read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

int server_started_with(const std::string& settings_file) {
  DIR* proc = opendir("/proc");
  int found = 0;
  while (dirent* entry = proc ? readdir(proc) : nullptr) {
    const std::string name = entry->d_name;
    if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::string command = read_all(fs::path("/proc") / name / "cmdline");
    for (char& c : command)
      if (c == '\0') c = ' ';
    if (command.find(" --settings " + settings_file) != std::string::npos) found = std::stoi(name);
  }
  if (proc) closedir(proc);
  return found;
}

}  // namespace halvenor::firstrun_test
