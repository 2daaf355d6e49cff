#include "firstrun/choices.h"

#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <system_error>

#include "base/errors.h"
#include "base/text.h"
#include "net/certificates.h"
#include "platform/listen_address.h"
#include "platform/user_account.h"

namespace fs = std::filesystem;

namespace halvenor::firstrun {
namespace {

constexpr std::size_t kMaxNameLength = 100;
constexpr std::size_t kMaxApprovalLength = 200;

// Every choice is text as typed; an absent key reads as the empty text, and a
// number (a caller that already holds the port as one) as its decimal text.
std::string text_of(const Json& values, const char* key) {
  if (!values.is_object()) return {};
  auto it = values.find(key);
  if (it == values.end()) return {};
  if (it->is_string()) return it->get<std::string>();
  if (it->is_number_integer()) return std::to_string(it->get<long long>());
  return {};
}

std::string home_folder() {
  const fs::path home = platform::home_folder();
  return home.empty() ? "/" : home.string();
}

std::string machine_host_name() {
  char buffer[256] = {};
  if (gethostname(buffer, sizeof buffer - 1) != 0 || buffer[0] == '\0') return "localhost";
  return buffer;
}

// The listen address in canonical text; its own message names the text.
std::string parse_bind(const std::string& typed) {
  const std::string text = trim(typed);
  if (auto canonical = platform::canonical_listen_address(text)) return *canonical;
  throw Invalid("\"" + text + "\" is not an IPv4 or IPv6 address.");
}

// The port as an integer. Text that is not a whole number has its own
// message; a whole number that does not fit is simply out of range.
long long parse_port(const std::string& typed, const char* range_message) {
  std::string text = trim(typed);
  const char* begin = text.data();
  const char* end = begin + text.size();
  if (begin != end && *begin == '+') ++begin;
  long long port = 0;
  auto [stop, ec] = std::from_chars(begin, end, port);
  if (begin == end || stop != end || (ec != std::errc() && ec != std::errc::result_out_of_range))
    throw Invalid("\"" + text + "\" is not a whole number.");
  if (ec == std::errc::result_out_of_range || port < 1 || port > 65535) throw Invalid(range_message);
  return port;
}

bool account_character(char c, bool first) {
  if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
  return !first && (c == '_' || c == '-');
}

bool valid_account(const std::string& account) {
  if (account.size() < 3 || account.size() > 64) return false;
  for (std::size_t i = 0; i < account.size(); ++i)
    if (!account_character(account[i], i == 0)) return false;
  return true;
}

bool has_control_character(const std::string& text) {
  for (unsigned char c : text)
    if (c < 32) return true;
  return false;
}

// The folder text resolved, then the two rules shared by both checks: not a
// file-system root nor a text the start script could not quote, and no
// earlier installation's private files.
fs::path checked_folder(const std::string& typed, const char* existing_message) {
  fs::path folder = resolve_folder(typed);
  const std::string text = folder.string();
  if (folder == folder.root_path() || text.find_first_of("\"\r\n") != std::string::npos)
    throw Invalid("Choose an application folder, not a drive root.");
  std::error_code ec;
  const fs::file_status data = fs::symlink_status(folder / "data", ec);
  if (fs::exists(data)) throw Invalid(existing_message);
  const fs::path certs = folder / "certs";
  const fs::file_status certs_status = fs::symlink_status(certs, ec);
  if (fs::exists(certs_status)) {
    if (!fs::is_directory(certs_status) || !fs::is_empty(certs)) throw Invalid(existing_message);
  }
  return folder;
}

}  // namespace

const std::vector<ChoiceField>& choice_fields() {
  static const std::vector<ChoiceField> fields = {
      {"folder", "Application folder"},
      {"hostname", "Server DNS hostname or IP reachable from other PCs"},
      {"bind", "Listen on IP (0.0.0.0 = all IPv4 interfaces)"},
      {"port", "HTTPS port"},
      {"account", "Administrator account ID"},
      {"name", "Administrator display name"},
  };
  return fields;
}

Json default_choices() {
#ifdef _WIN32
  const std::string folder = "C:\\Halvenor-Mass-Communication";
#else
  const std::string folder = (fs::path(home_folder()) / "Halvenor-Mass-Communication").string();
#endif
  return Json{{"folder", folder},          {"hostname", machine_host_name()}, {"bind", "0.0.0.0"},
              {"port", "8765"},            {"account", "Administrator"},      {"name", "Administrator"}};
}

fs::path resolve_folder(const std::string& typed) {
  std::string text = typed;
  // "~" alone or "~/..." is the current user's home; "~name/..." that user's.
  if (!text.empty() && text[0] == '~') {
    const std::size_t slash = text.find('/');
    const std::string user = text.substr(1, slash == std::string::npos ? std::string::npos : slash - 1);
    std::string home;
    if (user.empty()) {
      home = home_folder();
    } else if (const auto found = platform::home_folder_of(user)) {
      home = found->string();
    }
    if (!home.empty()) text = home + (slash == std::string::npos ? "" : text.substr(slash));
  }
  fs::path folder = fs::weakly_canonical(fs::absolute(fs::path(text)));
  // A trailing separator names the same folder; drop it so comparisons and
  // joined paths see one form.
  if (!folder.has_filename() && folder != folder.root_path()) folder = folder.parent_path();
  return folder;
}

Json validate(const Json& values) {
  const std::string hostname = setup::identity(trim(text_of(values, "hostname"))).text;
  const std::string bind = parse_bind(text_of(values, "bind"));
  const long long port = parse_port(text_of(values, "port"), "Port must be between 1 and 65535.");

  const std::string account = trim(text_of(values, "account"));
  if (!valid_account(account))
    throw Invalid("Administrator ID: use 3\u201364 letters, numbers, hyphens or underscores.");

  const std::string name = trim(text_of(values, "name"));
  if (name.empty() || code_points(name) > kMaxNameLength || has_control_character(name))
    throw Invalid("Enter an Administrator name up to 100 characters.");

  const std::string approval = trim(text_of(values, "approval"));
  if (code_points(approval) > kMaxApprovalLength) throw Invalid("Approval reference must be up to 200 characters.");

  const auto raw = values.is_object() ? values.find("folder") : values.end();
  if (raw == values.end() || !raw->is_string() || trim(raw->get<std::string>()).empty())
    throw Invalid("Choose an application folder.");
  const fs::path folder = checked_folder(raw->get<std::string>(),
                                         "This location already has data or certificates. Choose a clean folder. "
                                         "Existing installations must use the update process.");

  return Json{{"folder", folder.string()}, {"hostname", hostname}, {"bind", bind},       {"port", port},
              {"account", account},        {"name", name},         {"approval", approval}};
}

void check_server_settings(const Json& values) {
  setup::identity(trim(text_of(values, "hostname")));
  parse_bind(text_of(values, "bind"));
  parse_port(text_of(values, "port"), "HTTPS port must be 1\u201365535.");
  const std::string folder = text_of(values, "folder");
  if (trim(folder).empty()) throw Invalid("Choose an application folder.");
  checked_folder(folder,
                 "Existing data/certificates found. Choose a clean folder; use the update process for an existing "
                 "installation.");
}

void check_can_listen(const Json& values) {
  check_can_listen(parse_bind(text_of(values, "bind")),
                   parse_port(text_of(values, "port"), "HTTPS port must be 1\u201365535."));
}

void check_can_listen(const std::string& bind, long long port) {
  if (auto why = platform::listen_refusal(bind, static_cast<int>(port)))
    throw Invalid("The server cannot listen on " + platform::host_with_port(bind, static_cast<int>(port)) + " (" +
                  *why + "). Choose another HTTPS port, or stop the program that is using it.");
}

}  // namespace halvenor::firstrun
