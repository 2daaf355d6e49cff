#include "firstrun/window_identity.h"

#include <algorithm>
#include <mutex>
#include <system_error>
#include <vector>

namespace halvenor::firstrun {
namespace {

std::mutex identity_mutex;
std::string identity;

}  // namespace

void process_identity(const std::string& name) {
  std::lock_guard lock(identity_mutex);
  identity = name;
}

std::string current_identity() {
  std::lock_guard lock(identity_mutex);
  return identity;
}

std::filesystem::path icon_file(const std::string& role, const std::filesystem::path& assets_folder) {
  std::error_code ec;
  auto preferred = assets_folder / ("halvenor-communications-" + role + ".png");
  if (std::filesystem::is_regular_file(preferred, ec)) return preferred;
  std::vector<std::filesystem::path> pngs;
  for (std::filesystem::directory_iterator it(assets_folder, ec), end; !ec && it != end; it.increment(ec))
    if (it->path().extension() == ".png" && it->is_regular_file(ec)) pngs.push_back(it->path());
  if (pngs.empty()) return {};
  // Directory order differs between file systems; sorting keeps the choice stable.
  return *std::min_element(pngs.begin(), pngs.end());
}

void window_icon(tk::TclInterpreter& tk, const std::string& window, const std::string& role,
                 const std::filesystem::path& assets_folder) {
  auto file = icon_file(role, assets_folder);
  if (file.empty()) return;
  try {
    std::string image = tk.call({"image", "create", "photo", "::wizard::icon_" + role, "-file", file.string()});
    tk.call({"wm", "iconphoto", window, "-default", image});
  } catch (const tk::TkError&) {
    // A broken icon file must not stop the installation.
  }
}

}  // namespace halvenor::firstrun
