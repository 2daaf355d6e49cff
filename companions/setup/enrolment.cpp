// Enrolment codes and agents' self-enrolment: the part of the deployment
// settings that turns one rollout file into many receiving computers.
#include <algorithm>
#include <cctype>
#include <cmath>
#include <vector>

#include "base/digest.h"
#include "base/errors.h"
#include "companions/access/access_manager.h"
#include "companions/access/directory_change.h"
#include "companions/setup/setup_manager.h"
#include "net/private_files.h"
#include "server/core/core.h"
#include "server/core/directory_views.h"

namespace halvenor {
namespace {

constexpr double kHour = 3600.0;
constexpr char kPackagesFolder[] = "packages";
constexpr char kPackagePrefix[] = "halvenor-agent_";
// Debian packages for Linux computers, the MSI for Windows ones.
constexpr const char* kPackageSuffixes[] = {".deb", ".msi"};
constexpr std::size_t kMaxPackageBytes = 256 * 1024 * 1024;
constexpr std::size_t kCodeBytes = 24;
constexpr std::size_t kCodeIdBytes = 6;
constexpr std::size_t kMaxCodeLength = 200;
constexpr std::size_t kMaxHostnameLength = 253;
constexpr std::size_t kMaxAgentVersionLength = 32;
// Leaves room in a directory id for the suffix that makes it unique.
constexpr std::size_t kMaxIdStemLength = kMaxDirectoryIdLength - 8;

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// A host name as the agent reports it: letters, digits, dots, hyphens and
// underscores, starting with a letter or digit. It becomes a directory id.
std::string checked_hostname(const Json& value) {
  const std::string text = value.is_string() ? value.get<std::string>() : std::string();
  bool ok = !text.empty() && text.size() <= kMaxHostnameLength && std::isalnum(static_cast<unsigned char>(text[0]));
  for (unsigned char c : text) ok = ok && (std::isalnum(c) || c == '.' || c == '-' || c == '_');
  if (!ok) throw AccessInvalid("The computer's host name must be 1-253 letters, digits, dots, hyphens or underscores.");
  return text;
}

bool display_name_taken(const Json& doc, const std::string& name) {
  for (const Json& device : member_or(doc, "devices", kEmptyArray))
    if (member_or(device, "display_name", kNull) == name) return true;
  return false;
}

// The computer this host enrolled before, if it is still in the directory.
Json* enrolled_before(Json& doc, const std::string& hostname) {
  Json& devices = doc["devices"];
  if (!devices.is_array()) return nullptr;
  for (Json& device : devices) {
    if (!device.contains("enrolled_at") || ComputerView(device).removed()) continue;
    const Json& computer = member_or(device, "computer_id", kNull);
    if (computer.is_string() && lower(computer.get<std::string>()) == lower(hostname)) return &device;
  }
  return nullptr;
}

const char* code_state(const Json& row, double now) {
  if (!row["revoked_at"].is_null()) return "revoked";
  if (row["expires_at"].get<double>() <= now) return "expired";
  if (row["used"].get<long long>() >= row["uses"].get<long long>()) return "used_up";
  return "active";
}

Json code_view(const Json& row, double now) {
  return Json{{"id", row["id"]},
              {"site", row["site"]},
              {"department", row["department"]},
              {"live", row["live"].get<long long>() != 0},
              {"uses", row["uses"]},
              {"used", row["used"]},
              {"created_at", row["created_at"]},
              {"created_by", row["created_by"]},
              {"expires", row["expires_at"]},
              {"revoked_at", row["revoked_at"]},
              {"state", code_state(row, now)}};
}

// Package file names in text order. The build replaces the package of its
// own version, so the folder normally holds one per architecture; an older
// one left beside it sorts first while versions keep one digit per part.
std::vector<std::string> package_names(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  std::error_code missing;
  for (const auto& entry : std::filesystem::directory_iterator(folder, missing)) {
    const std::string name = entry.path().filename().string();
    // The name travels in a Content-Disposition header: plain characters only.
    const bool plain = std::all_of(name.begin(), name.end(), [](unsigned char c) {
      return std::isalnum(c) || c == '.' || c == '_' || c == '-' || c == '+' || c == '~';
    });
    const bool package = std::any_of(std::begin(kPackageSuffixes), std::end(kPackageSuffixes), [&](std::string_view suffix) {
      return name.size() > std::string_view(kPackagePrefix).size() + suffix.size() && name.ends_with(suffix);
    });
    if (plain && package && entry.is_regular_file() && name.rfind(kPackagePrefix, 0) == 0) names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

void SetupManager::note_agent_version(const std::string& device, const std::string& version) {
  const bool plain = !version.empty() && version.size() <= kMaxAgentVersionLength &&
                     std::all_of(version.begin(), version.end(), [](unsigned char c) {
                       return std::isalnum(c) || c == '.' || c == '-' || c == '+' || c == '~';
                     });
  if (!plain) return;
  {
    // Most reports repeat the version already known: those write nothing.
    DbScope scope(core_.database());
    auto row = scope->query_one("SELECT version FROM setup_agent_versions WHERE device_id=?", {device});
    if (row && (*row)["version"] == version) return;
  }
  record(device, "setup.agent_version.reported", [&](Connection& conn) {
    auto row = conn.query_one("SELECT version FROM setup_agent_versions WHERE device_id=?", {device});
    conn.execute(
        "INSERT INTO setup_agent_versions(device_id, version, reported_at) VALUES(?,?,?) ON CONFLICT(device_id) "
        "DO UPDATE SET version=excluded.version, reported_at=excluded.reported_at",
        {device, version, core_.clock().now()});
    return Json{{"version", version}, {"previous", row ? (*row)["version"] : Json(nullptr)}};
  });
}

Json SetupManager::agent_packages(const std::string& actor) {
  allowed(actor);
  return Json{{"packages", package_names(root_ / kPackagesFolder)}};
}

std::pair<std::string, std::string> SetupManager::agent_package(const std::string& actor, const std::string& name) {
  allowed(actor);
  const std::vector<std::string> names = package_names(root_ / kPackagesFolder);
  if (names.empty()) throw AccessInvalid("No agent package has been built beside this server.");
  // Only a listed name is served, so no request can reach another file.
  const std::string chosen = name.empty() ? names.back() : name;
  if (std::find(names.begin(), names.end(), chosen) == names.end()) throw AccessInvalid("Unknown agent package.");
  return {chosen, setup::read_file(root_ / kPackagesFolder / chosen, kMaxPackageBytes)};
}

Json SetupManager::create_enrolment_code(const std::string& actor, const Json& request) {
  allowed(actor);
  const Json& hours = member_or(request, "expires_hours", kNull);
  if (!hours.is_number() || !(hours.get<double>() > 0) || hours.get<double>() > kMaxEnrolmentCodeHours)
    throw AccessInvalid("\"expires_hours\" must be a number of hours above 0 and at most " +
                        std::to_string(static_cast<int>(kMaxEnrolmentCodeHours)) + ".");
  const Json& uses = member_or(request, "uses", kNull);
  if (!uses.is_number_integer() || uses.get<long long>() < 1 || uses.get<long long>() > kMaxEnrolmentCodeUses)
    throw AccessInvalid("\"uses\" must be a whole number from 1 to " + std::to_string(kMaxEnrolmentCodeUses) + ".");
  const Json& live = member_or(request, "live", kFalse);
  if (!live.is_boolean()) throw AccessInvalid("\"live\" must be true or false.");
  const Json& site = member_or(request, "site", kNull);
  if (site.is_null()) throw AccessInvalid("Choose the site of the computers this code enrols.");
  const Json& department = member_or(request, "department", kNull);
  {
    ConfigPtr cfg = core_.config();
    check_device_field(cfg->doc(), "site", site);
    check_device_field(cfg->doc(), "department", department);
  }
  if (!access_) throw AccessInvalid("Enrolment needs the server's configuration file.");

  std::string server_url;
  setup::X509Ptr anchor;
  {
    std::lock_guard lock(mutex_);
    server_url = dashboard_url(load_deployment());
    anchor = trust_anchor();
  }
  // The agent refuses anything but HTTPS, and a code sent in the clear could
  // be replayed by anyone on the way.
  if (server_url.rfind("https://", 0) != 0 || !anchor)
    throw AccessInvalid("Agents enrol over HTTPS only: serve this server with its certificate first.");

  RandomSource& random = core_.random();
  const std::string code = random_token(random, kCodeBytes);
  std::string id_bytes(kCodeIdBytes, '\0');
  random.fill(reinterpret_cast<unsigned char*>(id_bytes.data()), id_bytes.size());
  const std::string id = hex_lower(id_bytes);
  const double now = core_.clock().now();
  const double expires = now + hours.get<double>() * kHour;

  record(actor, "setup.enrolment_code.created", [&](Connection& conn) {
    conn.execute(
        "INSERT INTO setup_enrolment_codes(id, code_sha256, site, department, live, uses, created_at, created_by, "
        "expires_at) VALUES(?,?,?,?,?,?,?,?,?)",
        {id, sha256_hex(code), site, department, live, uses, now, actor, expires});
    return Json{{"id", id}, {"site", site}, {"department", department}, {"live", live}, {"uses", uses},
                {"expires", expires}};
  });
  return Json{{"ok", true},
              {"id", id},
              {"code", code},
              {"expires", expires},
              {"uses", uses},
              {"site", site},
              {"department", department},
              {"live", live},
              {"rollout",
               {{"server_url", server_url},
                {"ca_certificate", setup::pem(anchor.get())},
                {"ca_sha256_fingerprint", setup::sha256_fingerprint(anchor.get())},
                {"code", code},
                {"allow_live_incidents", live}}},
              {"agent_packages", package_names(root_ / kPackagesFolder)}};
}

Json SetupManager::enrolment_codes(const std::string& actor) {
  allowed(actor);
  const double now = core_.clock().now();
  DbScope scope(core_.database());
  Json codes = Json::array();
  for (const Json& row : scope->query(
           "SELECT id, site, department, live, uses, used, created_at, created_by, expires_at, revoked_at "
           "FROM setup_enrolment_codes ORDER BY created_at DESC"))
    codes.push_back(code_view(row, now));
  return Json{{"codes", codes}};
}

Json SetupManager::revoke_enrolment_code(const std::string& actor, const Json& code_id) {
  allowed(actor);
  if (!code_id.is_string()) throw AccessInvalid("Choose the enrolment code to withdraw.");
  const double now = core_.clock().now();
  Json result;
  DbScope scope(core_.database());
  scope.begin_immediate();
  auto row = scope->query_one(
      "SELECT id, site, department, live, uses, used, created_at, created_by, expires_at, revoked_at "
      "FROM setup_enrolment_codes WHERE id=?",
      {code_id});
  if (!row) throw AccessInvalid("Unknown enrolment code.");
  if (row->at("revoked_at").is_null()) {
    scope->execute("UPDATE setup_enrolment_codes SET revoked_at=?, revoked_by=? WHERE id=?", {now, actor, code_id});
    core_.audit(scope.conn(), actor, "setup.enrolment_code.revoked", Json{{"id", code_id}});
    (*row)["revoked_at"] = now;
  }
  scope.commit();
  return Json{{"ok", true}, {"code", code_view(*row, now)}};
}

Json SetupManager::enrol(const Json& request) {
  if (!request.is_object()) throw EnrolmentRefused("Invalid enrolment request.");
  const Json& code = member_or(request, "code", kNull);
  if (!code.is_string() || code.get_ref<const std::string&>().empty() ||
      code.get_ref<const std::string&>().size() > kMaxCodeLength)
    throw EnrolmentRefused("This enrolment code is not valid.");
  const std::string hostname = checked_hostname(member_or(request, "hostname", kNull));
  AccessManager* access = access_;
  if (!access) throw AccessInvalid("Enrolment needs the server's configuration file.");

  const std::string presented = sha256_hex(code.get<std::string>());
  Json result;
  access->update_config([&](Connection& conn, Json& doc) {
    const double now = core_.clock().now();
    // Every stored hash is compared in full, so the time taken says nothing
    // about how close a guess came to any of them.
    std::optional<Json> match;
    for (Json& row : conn.query("SELECT id, code_sha256, site, department, live, uses, used, expires_at, revoked_at "
                                "FROM setup_enrolment_codes"))
      if (constant_time_equal(presented, row["code_sha256"].get<std::string>())) match = std::move(row);
    if (!match) throw EnrolmentRefused("This enrolment code is not valid.");
    const Json& row = *match;
    const std::string state = code_state(row, now);
    if (state == "revoked") throw EnrolmentRefused("This enrolment code has been withdrawn; ask for a new one.");
    if (state == "expired") throw EnrolmentRefused("This enrolment code has expired; ask for a new one.");
    if (state == "used_up") throw EnrolmentRefused("This enrolment code has been used up; ask for a new one.");
    const bool live = row["live"].get<long long>() != 0;

    DirectoryChange change;
    std::string event;
    if (Json* before = enrolled_before(doc, hostname)) {
      // The same computer again (reinstalled, or its state folder lost): a
      // new credential for the entry it has, never a second entry.
      const Json rotate{{"kind", "device"}, {"action", "rotate_token"}, {"id", (*before)["id"]}};
      change = apply_directory_change(doc, rotate, core_.random());
      event = "access.device.re_enrolled";
    } else {
      std::string stem = lower(hostname).substr(0, kMaxIdStemLength);
      std::string name = hostname.substr(0, kMaxDisplayNameLength - 8);
      std::string id = stem, display_name = name;
      for (int n = 2; directory_id_taken(doc, id) || display_name_taken(doc, display_name); ++n) {
        id = stem + "-" + std::to_string(n);
        display_name = name + " (" + std::to_string(n) + ")";
      }
      Json entry{{"id", id},    {"display_name", display_name}, {"computer_id", hostname},
                 {"site", row["site"]}, {"allow_live_desktop", live}};
      if (!row["department"].is_null()) entry["department"] = row["department"];
      change = apply_directory_change(doc, Json{{"kind", "device"}, {"action", "enrol"}, {"entry", entry}},
                                      core_.random());
      event = "access.device.enrolled";
    }
    const std::string device = change.result["id"].get<std::string>();
    for (Json& entry : doc["devices"])
      if (entry["id"] == device) {
        entry["enrolled_at"] = now;
        entry["enrolment_code"] = row["id"];
        change.result["entry"]["enrolled_at"] = now;
      }
    conn.execute("UPDATE setup_enrolment_codes SET used=used+1 WHERE id=?", {row["id"]});
    const long long uses_left = row["uses"].get<long long>() - row["used"].get<long long>() - 1;
    core_.audit(conn, device, "setup.enrolment_code.used",
                Json{{"id", row["id"]}, {"device", device}, {"hostname", hostname}, {"uses_left", uses_left}});
    Json detail = change.detail;
    detail["enrolment_code"] = row["id"];
    detail["hostname"] = hostname;
    core_.audit(conn, device, event, detail);
    result = Json{{"ok", true},
                  {"device_id", device},
                  {"display_name", change.result["entry"]["display_name"]},
                  {"token", *change.token},
                  {"allow_live_incidents", live},
                  {"re_enrolled", event == "access.device.re_enrolled"}};
  });
  return result;
}

}  // namespace halvenor
