// Alert request validation: the single gate before anything is stored.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <set>
#include <unordered_map>
#include <unordered_set>

#include "base/errors.h"
#include "base/text.h"
#include "server/core/core.h"
#include "server/core/directory_views.h"
#include "server/core/whatsapp_template.h"

namespace halvenor {
namespace {

constexpr std::size_t kTitleLimit = 100;
constexpr std::size_t kBodyLimit = 1000;
constexpr std::int64_t kMinTtlMinutes = 1;
constexpr std::int64_t kMaxTtlMinutes = 120;
constexpr std::size_t kMinReference = 3;
constexpr std::size_t kMaxReference = 100;


// The value of a JSON integer as written (no fraction, no exponent, not a
// boolean); nullopt otherwise. Integers beyond int64 are clamped, which keeps
// them out of any small range.
std::optional<std::int64_t> integer_value(const Json& v) {
  if (v.is_number_unsigned()) {
    auto u = v.get<std::uint64_t>();
    return u > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MAX : static_cast<std::int64_t>(u);
  }
  if (v.is_number_integer()) return v.get<std::int64_t>();
  return std::nullopt;
}

// Text goes onto screens across the organisation exactly as approved: control
// characters and bidirectional overrides could show something else, and a
// NUL would cut the text short in exports. A body keeps its line breaks;
// white space around the text is trimmed before it is stored, so only what
// remains is checked.
void require_text(const Json& data, const char* key, std::size_t limit, bool multiline) {
  const Json& value = member_or(data, key, kNull);
  if (!value.is_string() || trim(value.get<std::string>()).empty() ||
      code_points(value.get<std::string>()) > limit || has_control_characters(trim(value.get<std::string>()), multiline))
    throw Invalid(std::string(key) + " is required, maximum " + std::to_string(limit) + " characters");
}

}  // namespace

std::vector<DeliveryTarget> Core::validate(const Json& data, const std::optional<std::string>& actor) {
  ConfigPtr cfg = config();
  const Json& doc = cfg->doc();

  const Json& test = member_or(data, "test", kNull);
  if (!test.is_boolean()) throw Invalid("Choose Exercise or Live incident explicitly");
  const bool live = !test.get<bool>();

  if (live && (!live_enabled_ || !actor || !can_send_live(*actor)))
    throw Invalid("Live desktop is disabled or your account lacks live-send permission");

  require_text(data, "title", kTitleLimit, false);
  require_text(data, "body", kBodyLimit, true);

  const Json& severity = member_or(data, "severity", kNull);
  if (severity != "ticker" && severity != "critical") throw Invalid("Severity must be ticker or critical");

  auto ttl = integer_value(member_or(data, "ttl_minutes", kNull));
  if (!ttl || *ttl < kMinTtlMinutes || *ttl > kMaxTtlMinutes) throw Invalid("Expiry must be 1–120 minutes");

  const Json& channels = member_or(data, "channels", kNull);
  std::set<std::string> selected;  // ascending text order: desktop, sms, whatsapp
  if (!channels.is_array() || channels.empty()) throw Invalid("Choose desktop, sms and/or whatsapp");
  for (const Json& c : channels) {
    if (c != "desktop" && c != "sms" && c != "whatsapp") throw Invalid("Choose desktop, sms and/or whatsapp");
    selected.insert(c.get<std::string>());
  }
  std::vector<std::string> mobile;
  for (const auto& c : selected)
    if (c != "desktop") mobile.push_back(c);

  // The operator's record; someone no longer active holds no permission.
  std::optional<UserView> user;
  if (actor) user = find_user(required(doc, "users"), *actor);
  if (user && !user->active()) user.reset();

  Json report = mobile_routing().report();
  auto flag = [&](const std::string& channel, const char* key) {
    return exactly_true(member_or(member_or(report, channel.c_str(), kEmptyObject), key, kNull));
  };
  for (const auto& channel : mobile) {
    if (!flag(channel, "network_delivery_enabled")) continue;
    if (!user || !user->granted(("can_send_" + channel).c_str()))
      throw Invalid("Your account lacks " + channel + " sending permission.");
    if (live && !flag(channel, "live_sending_enabled"))
      throw Invalid("IT has not enabled live " + channel + " sending.");
  }
  if (member_or(doc, "provider", kNull) == "disabled" &&
      std::any_of(mobile.begin(), mobile.end(), [&](const auto& c) { return !flag(c, "network_delivery_enabled"); }))
    throw Invalid(
        "SMS or WhatsApp sending is disabled. IT must configure, test and enable its provider connection.");
  if (live && std::any_of(mobile.begin(), mobile.end(), [&](const auto& c) { return !flag(c, "live_sending_enabled"); }))
    throw Invalid("Live sending is not enabled for every selected mobile channel.");

  if (live) {
    const Json& reference = member_or(data, "incident_reference", kNull);
    std::size_t length = reference.is_string() ? code_points(trim(reference.get<std::string>())) : 0;
    if (!reference.is_string() || length < kMinReference || length > kMaxReference)
      throw Invalid("Live incidents require an incident reference of 3–100 characters");
  }

  std::vector<const Json*> entries = recipients(*cfg, data);
  std::vector<DeliveryTarget> targets;
  for (const Json* entry : entries) {
    const Json& entry_channels = member_or(*entry, "channels", kEmptyArray);
    for (const auto& channel : selected) {
      bool include = channel == "desktop"
                         ? entry->contains("token")
                         : entry_channels.is_array() &&
                               std::find(entry_channels.begin(), entry_channels.end(), Json(channel)) !=
                                   entry_channels.end();
      if (include) targets.push_back({required(*entry, "id").get<std::string>(), channel});
    }
  }
  if (targets.empty()) throw Invalid("No recipients match these sites, departments, groups and channels");

  Json values = clean_values(member_or(data, "whatsapp_values", kNull));
  if (!values.empty() && !selected.count("whatsapp"))
    throw Invalid("WhatsApp details require the WhatsApp channel.");

  std::unordered_map<std::string, const Json*> contacts;
  for (const Json& c : required(doc, "contacts")) {
    const Json& id = member_or(c, "id", kNull);
    if (id.is_string()) contacts.emplace(id.get<std::string>(), &c);
  }
  const std::string mode = live ? "live" : "exercise";
  for (const auto& target : targets) {
    if (target.channel == "desktop") continue;
    if (!flag(target.channel, "network_delivery_enabled")) continue;
    auto contact = contacts.find(target.recipient_id);
    if (contact == contacts.end()) throw MissingKey(target.recipient_id);
    if (!mobile_routing().route(*contact->second, target.channel, live))
      throw Invalid("A selected " + target.channel +
                    " recipient has no tested, enabled provider account. Update its assignment.");
    if (target.channel == "whatsapp")
      mobile_routing().preview(*contact->second, data["title"], data["body"], mode, values);
  }

  if (live) {
    std::unordered_set<std::string> capable;
    {
      DbScope scope = db();
      for (const Json& row : scope->query("SELECT device_id,protocol FROM agent_capabilities WHERE live_capable=1"))
        if (deployment_scope_ != "home_lab" || row["protocol"] == "live-desktop-v2")
          capable.insert(row["device_id"].get<std::string>());
    }
    std::unordered_map<std::string, const Json*> devices;
    for (const Json& d : required(doc, "devices")) {
      const Json& id = member_or(d, "id", kNull);
      if (id.is_string()) devices.emplace(id.get<std::string>(), &d);
    }
    std::vector<std::string> blocked;
    for (const auto& target : targets) {
      if (target.channel != "desktop") continue;
      auto device = devices.find(target.recipient_id);
      bool allowed = device != devices.end() && ComputerView(*device->second).allows_live_desktop();
      if (!allowed || !capable.count(target.recipient_id)) blocked.push_back(target.recipient_id);
    }
    if (!blocked.empty()) {
      std::string list;
      for (const auto& id : blocked) list += (list.empty() ? "" : ", ") + id;
      throw Invalid("Upgrade and explicitly enable the live-capable agents for: " + list);
    }
  }
  return targets;
}

}  // namespace halvenor
