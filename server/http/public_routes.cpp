// Public files and the version endpoint: served without a credential.
#include <fstream>
#include <sstream>

#include "base/release.h"
#include "server/http/handler.h"

namespace halvenor::http {
namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kCss = "text/css; charset=utf-8";
constexpr const char* kJavaScript = "text/javascript; charset=utf-8";
constexpr const char* kPlainText = "text/plain; charset=utf-8";

bool ends_with(const std::string& s, const char* suffix) {
  std::string tail(suffix);
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// Files are read on every request, so an updated page is served at once.
std::string read_whole(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file.string());
  std::ostringstream out;
  out << in.rdbuf();
  if (in.bad()) throw std::runtime_error("cannot read " + file.string());
  return out.str();
}

HttpResponse file_reply(const std::filesystem::path& file, const char* type) {
  return reply_bytes(200, read_whole(file), type);
}

struct FixedFile {
  const char* path;
  const char* folder;  // "web" or "assets"
  const char* file;
  const char* type;
};

constexpr FixedFile kIconsAndManifest[] = {
    {"/favicon.ico", "assets", "halvenor-communications-dashboard.ico", "image/x-icon"},
    {"/dashboard-icon.png", "assets", "halvenor-communications-dashboard.png", "image/png"},
    {"/manifest.webmanifest", "web", "manifest.webmanifest", "application/manifest+json"},
};

constexpr FixedFile kDashboard[] = {
    {"/", "web", "index.html", kHtml},
    {"/app.js", "web", "app.js", kJavaScript},
    {"/dashboard.js", "web", "dashboard.js", kJavaScript},
    {"/access.js", "web", "access.js", kJavaScript},
    {"/style.css", "web", "style.css", kCss},
};

constexpr const char* kLegal[] = {
    "/legal/EULA-DRAFT.html", "/legal/EULA-DRAFT.md", "/legal/index.html", "/legal/legal.css",
    "/legal/MICROSOFT-RUNTIME-ADDENDUM-DRAFT.html", "/legal/MICROSOFT-RUNTIME-ADDENDUM-DRAFT.md",
    "/legal/PRIVACY-NOTICE-DRAFT.html", "/legal/PRIVACY-NOTICE-DRAFT.md"};

constexpr const char* kSourceNotices[] = {"/third-party.html", "/third-party-source.tar.gz"};

constexpr const char* kHelp[] = {"/help.html", "/mobile-provider-help.html", "/help.js", "/help.css", "/menu.js",
                                 "/mobile.js", "/mobile_connections.js", "/whatsapp_setup.js", "/setup.js",
                                 "/identity.js"};

template <std::size_t N>
bool listed(const char* const (&paths)[N], const std::string& path) {
  for (const char* p : paths)
    if (path == p) return true;
  return false;
}

}  // namespace

std::optional<HttpResponse> public_file_routes(RequestContext& context) {
  if (context.request.method != "GET") return std::nullopt;
  const std::string& path = context.path;
  const std::filesystem::path web = context.service.root / "web";
  if (path == "/api/version") return reply(200, Json{{"version", VERSION}, {"agent_version", AGENT_VERSION}});
  if (listed(kLegal, path))
    return file_reply(web / path.substr(1), ends_with(path, ".html") ? kHtml : ends_with(path, ".css") ? kCss : kPlainText);
  if (listed(kSourceNotices, path))
    return file_reply(web / path.substr(1), ends_with(path, ".html") ? kHtml : "application/gzip");
  if (listed(kHelp, path))
    return file_reply(web / path.substr(1), ends_with(path, ".html") ? kHtml : ends_with(path, ".css") ? kCss : kJavaScript);
  for (const auto& f : kIconsAndManifest)
    if (path == f.path) return file_reply(context.service.root / f.folder / f.file, f.type);
  for (const auto& f : kDashboard)
    if (path == f.path) return file_reply(context.service.root / f.folder / f.file, f.type);
  if (path == "/acknowledge") return file_reply(web / "acknowledge.html", kHtml);
  if (path == "/acknowledge.js") return file_reply(web / "acknowledge.js", kJavaScript);
  return std::nullopt;
}

}  // namespace halvenor::http
