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
    {"/dom.js", "web", "dom.js", kJavaScript},
    {"/text.js", "web", "text.js", kJavaScript},
    {"/time.js", "web", "time.js", kJavaScript},
    {"/delivery_status.js", "web", "delivery_status.js", kJavaScript},
    {"/json_view.js", "web", "json_view.js", kJavaScript},
    {"/names.js", "web", "names.js", kJavaScript},
    {"/api.js", "web", "api.js", kJavaScript},
    {"/state_poll.js", "web", "state_poll.js", kJavaScript},
    {"/session.js", "web", "session.js", kJavaScript},
    {"/banner.js", "web", "banner.js", kJavaScript},
    {"/getting_started.js", "web", "getting_started.js", kJavaScript},
    {"/alerts.js", "web", "alerts.js", kJavaScript},
    {"/computers.js", "web", "computers.js", kJavaScript},
    {"/drill_report.js", "web", "drill_report.js", kJavaScript},
    {"/raise_alert.js", "web", "raise_alert.js", kJavaScript},
    {"/scheduled_drills.js", "web", "scheduled_drills.js", kJavaScript},
    {"/menu.js", "web", "menu.js", kJavaScript},
    {"/identity.js", "web", "identity.js", kJavaScript},
    {"/mobile.js", "web", "mobile.js", kJavaScript},
    {"/dashboard.js", "web", "dashboard.js", kJavaScript},
    {"/setup.js", "web", "setup.js", kJavaScript},
    {"/access.js", "web", "access.js", kJavaScript},
    {"/mobile_connections.js", "web", "mobile_connections.js", kJavaScript},
    {"/whatsapp_setup.js", "web", "whatsapp_setup.js", kJavaScript},
    {"/style.css", "web", "style.css", kCss},
};

constexpr const char* kLegal[] = {
    "/legal/EULA-DRAFT.html", "/legal/EULA-DRAFT.md", "/legal/index.html", "/legal/legal.css",
    "/legal/MICROSOFT-RUNTIME-ADDENDUM-DRAFT.html", "/legal/MICROSOFT-RUNTIME-ADDENDUM-DRAFT.md",
    "/legal/PRIVACY-NOTICE-DRAFT.html", "/legal/PRIVACY-NOTICE-DRAFT.md"};

constexpr const char* kSourceNotices[] = {"/third-party.html", "/third-party-source.tar.gz"};

constexpr const char* kHelp[] = {"/help.html", "/mobile-provider-help.html", "/help.js", "/help.css"};

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
