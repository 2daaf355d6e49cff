#include "companions/mobile/provider_accounts.h"

#include "companions/mobile/providers.h"
#include "server/core/config_snapshot.h"

namespace halvenor {
namespace {

constexpr const char* kAccountColumns =
    "id,channel,label,driver,source,settings,is_default,credentials_verified,connection_verified,"
    "exercise_enabled,live_enabled,tested_at,last_error";

ProviderAccount from_row(const Json& row) {
  ProviderAccount a;
  a.id = row["id"].get<std::string>();
  a.channel = row["channel"].get<std::string>();
  a.label = row["label"].get<std::string>();
  a.driver = row["driver"].get<std::string>();
  a.source = row["source"].get<std::string>();
  a.settings = json::parse_text(row["settings"].get<std::string>());
  a.is_default = row["is_default"] != 0;
  a.credentials_verified = row["credentials_verified"] != 0;
  a.connection_verified = row["connection_verified"] != 0;
  a.exercise_enabled = row["exercise_enabled"] != 0;
  a.live_enabled = row["live_enabled"] != 0;
  a.tested_at = row["tested_at"];
  a.last_error = row["last_error"];
  return a;
}

std::string configured_label(const ProviderSpec& provider_spec) {
  const Json& label = member_or(provider_spec.settings, "label", kNull);
  if (label.is_string() && !label.get<std::string>().empty()) return label.get<std::string>();
  return (provider_spec.channel == "sms" ? std::string("SMS") : std::string("WhatsApp")) + " provider from the configuration";
}

}  // namespace

Json ProviderAccount::view() const {
  return Json{{"id", id},
              {"channel", channel},
              {"label", label},
              {"driver", driver},
              {"source", source},
              {"default", is_default},
              {"settings", settings},
              {"credentials_verified", credentials_verified},
              {"connection_verified", connection_verified},
              {"exercise_enabled", exercise_enabled},
              {"live_enabled", live_enabled},
              {"tested_at", tested_at},
              {"last_error", last_error}};
}

void create_account_schema(Connection& conn) {
  conn.exec(R"sql(
CREATE TABLE IF NOT EXISTS mobile_accounts(
  id TEXT PRIMARY KEY, channel TEXT NOT NULL, label TEXT NOT NULL, driver TEXT NOT NULL,
  source TEXT NOT NULL, settings TEXT NOT NULL, is_default INTEGER NOT NULL DEFAULT 0,
  credentials_verified INTEGER NOT NULL DEFAULT 0, connection_verified INTEGER NOT NULL DEFAULT 0,
  exercise_enabled INTEGER NOT NULL DEFAULT 0, live_enabled INTEGER NOT NULL DEFAULT 0,
  tested_at REAL, last_error TEXT, created REAL NOT NULL, updated REAL NOT NULL);
CREATE TABLE IF NOT EXISTS mobile_contact_accounts(
  contact_id TEXT NOT NULL, channel TEXT NOT NULL, account_id TEXT NOT NULL, updated REAL NOT NULL,
  PRIMARY KEY(contact_id, channel));
CREATE TABLE IF NOT EXISTS mobile_test_sends(
  id TEXT PRIMARY KEY, account_id TEXT NOT NULL, channel TEXT NOT NULL, recipient TEXT NOT NULL,
  actor TEXT, at REAL NOT NULL, state TEXT NOT NULL, reason TEXT);
)sql");
}

std::string configured_account_id(const std::string& channel) { return "configured-" + channel; }

void seed_configured_accounts(Connection& conn, const ProviderSet& providers, double now) {
  for (const auto& [channel, provider_spec] : providers.channels) {
    const std::string id = configured_account_id(channel);
    const std::string settings = json::canonical(provider_spec.settings);
    auto existing = conn.query_one("SELECT driver,settings,label FROM mobile_accounts WHERE id=?", {id});
    if (!existing && provider_spec.driver == "disabled") continue;
    if (existing && (*existing)["driver"] == provider_spec.driver && (*existing)["settings"] == settings &&
        (*existing)["label"] == configured_label(provider_spec))
      continue;
    const bool mock = provider_spec.driver == "mock";
    if (existing) {
      conn.execute(
          "UPDATE mobile_accounts SET driver=?,settings=?,label=?,credentials_verified=?,connection_verified=?,"
          "exercise_enabled=?,live_enabled=0,tested_at=NULL,last_error=NULL,updated=? WHERE id=?",
          {provider_spec.driver, settings, configured_label(provider_spec), mock, mock, mock, now, id});
      continue;
    }
    bool has_default =
        conn.query_one("SELECT 1 AS x FROM mobile_accounts WHERE channel=? AND is_default=1", {channel}).has_value();
    conn.execute(
        "INSERT INTO mobile_accounts(id,channel,label,driver,source,settings,is_default,credentials_verified,"
        "connection_verified,exercise_enabled,live_enabled,created,updated) VALUES(?,?,?,?,?,?,?,?,?,?,0,?,?)",
        {id, channel, configured_label(provider_spec), provider_spec.driver, kConfiguredSource, settings, !has_default, mock, mock, mock,
         now, now});
  }
}

std::vector<ProviderAccount> load_accounts(Connection& conn) {
  std::vector<ProviderAccount> out;
  for (const Json& row : conn.query(std::string("SELECT ") + kAccountColumns + " FROM mobile_accounts ORDER BY channel,id"))
    out.push_back(from_row(row));
  return out;
}

std::optional<ProviderAccount> find_account(Connection& conn, const std::string& id) {
  auto row = conn.query_one(std::string("SELECT ") + kAccountColumns + " FROM mobile_accounts WHERE id=?", {id});
  if (!row) return std::nullopt;
  return from_row(*row);
}

const ProviderAccount* account_for(Connection& conn, const std::vector<ProviderAccount>& accounts,
                                   const Json& contact, const std::string& channel) {
  auto by_id = [&](const std::string& id) -> const ProviderAccount* {
    for (const auto& a : accounts)
      if (a.id == id) return &a;
    return nullptr;
  };
  const Json& contact_id = member_or(contact, "id", kNull);
  if (contact_id.is_string()) {
    auto stored = conn.query_one("SELECT account_id FROM mobile_contact_accounts WHERE contact_id=? AND channel=?",
                                 {contact_id, channel});
    if (stored) return by_id((*stored)["account_id"].get<std::string>());
  }
  const Json& named = member_or(contact, "account_id", kNull);
  if (named.is_string()) {
    const ProviderAccount* account = by_id(named.get<std::string>());
    if (account == nullptr) return nullptr;
    if (account->channel == channel) return account;
  }
  for (const auto& a : accounts)
    if (a.channel == channel && a.is_default) return &a;
  return nullptr;
}

Json load_assignments(Connection& conn) {
  Json out = Json::array();
  for (Json& row : conn.query("SELECT contact_id,channel,account_id,updated FROM mobile_contact_accounts "
                              "ORDER BY contact_id,channel"))
    out.push_back(std::move(row));
  return out;
}

}  // namespace halvenor
