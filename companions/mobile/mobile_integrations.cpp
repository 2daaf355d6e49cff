#include "companions/mobile/mobile_integrations.h"

#include <algorithm>

#include "base/digest.h"
#include "base/errors.h"
#include "base/text.h"
#include "companions/mobile/delivery_queue.h"
#include "companions/mobile/gateway_settings.h"
#include "companions/mobile/provider_accounts.h"
#include "companions/mobile/provider_transport.h"
#include "companions/mobile/providers.h"
#include "server/core/contact_directory.h"
#include "server/core/core.h"
#include "server/core/directory_views.h"
#include "server/core/whatsapp_template.h"

namespace halvenor {
namespace {

bool is_channel(const Json& value) { return value == "sms" || value == "whatsapp"; }

Json channel_report(const std::vector<ProviderAccount>& accounts, const std::string& channel, bool transport) {
  bool credentials = false, connection = false, exercise = false, live = false;
  Json default_account = nullptr;
  std::string driver = "disabled";
  for (const ProviderAccount& a : accounts) {
    if (a.channel != channel) continue;
    if (a.is_default) {
      default_account = a.id;
      driver = a.driver;
    }
    if (!transport || !a.usable()) continue;
    credentials = credentials || a.credentials_verified;
    connection = connection || a.tested();
    exercise = exercise || a.may_carry(false);
    live = live || a.may_carry(true);
  }
  return Json{{"network_delivery_enabled", exercise || live},
              {"credentials_verified", credentials},
              {"connection_verified", connection},
              {"live_sending_enabled", live},
              {"exercise_sending_enabled", exercise},
              {"driver", transport ? driver : "disabled"},
              {"default_account", default_account}};
}

std::string text_member(const Json& request, const char* key, const std::string& message) {
  const Json& value = member_or(request, key, kNull);
  if (!value.is_string() || trim(value.get<std::string>()).empty()) throw ConnectorError(message);
  return trim(value.get<std::string>());
}

// Enough of a number for IT to recognise it in the audit trail, not enough
// to dial it.
std::string masked_number(const std::string& number) {
  if (number.size() <= 6) return std::string(number.size(), '*');
  return number.substr(0, 3) + std::string(number.size() - 6, '*') + number.substr(number.size() - 3);
}

bool valid_account_id(const std::string& id) {
  if (id.empty() || id.size() > kMaxAccountIdLength) return false;
  for (char c : id)
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '_')) return false;
  return true;
}

ProviderAccount existing_account(Connection& conn, const Json& request) {
  const Json& id = member_or(request, "account_id", kNull);
  if (!id.is_string()) throw ConnectorError("Choose a provider account (\"account_id\").");
  auto account = find_account(conn, id.get<std::string>());
  if (!account) throw ConnectorError("Unknown provider account \"" + id.get<std::string>() + "\".");
  return *account;
}

// Outcome of a connection test as the account's two verification flags.
struct TestVerdict {
  bool credentials = false;
  bool connection = false;
  std::string error;  // empty on success
};

TestVerdict judge_test(const SendOutcome& outcome) {
  TestVerdict v;
  if (outcome.kind == SendOutcome::Sent) {
    v.credentials = v.connection = true;
    return v;
  }
  if (outcome.credential_unreadable) {
    v.error = "Credentials not verified: " + outcome.reason;
  } else if (outcome.status == 401 || outcome.status == 403) {
    // The gateway was reached over a verified connection and answered; it
    // rejected the credential.
    v.connection = true;
    v.error = "Credentials not verified: " + outcome.reason;
  } else {
    v.error = "Connection not verified: " + outcome.reason;
  }
  return v;
}

}  // namespace

MobileIntegrations::MobileIntegrations(Core& core) : core_(core) {
  ProviderSet providers;
  try {
    providers = build_providers(core_.config()->doc());
  } catch (const ProviderConfigurationError& e) {
    throw Invalid(e.what());
  }
  DbScope scope = core_.db();
  scope.begin_immediate();
  create_account_schema(scope.conn());
  seed_configured_accounts(scope.conn(), providers, core_.clock().now());
  scope.commit();
}

Json MobileIntegrations::report() {
  const bool transport = transport_enabled(core_.config()->doc());
  std::vector<ProviderAccount> accounts;
  {
    DbScope scope = core_.db();
    accounts = load_accounts(scope.conn());
  }
  Json report = Json::object();
  for (const char* channel : kMobileChannels) report[channel] = channel_report(accounts, channel, transport);
  return report;
}

bool MobileIntegrations::route(const Json& contact, const std::string& channel, bool live) {
  if (!contact.is_object() || contact.empty()) return false;
  if (!transport_enabled(core_.config()->doc())) return false;
  DbScope scope = core_.db();
  std::vector<ProviderAccount> accounts = load_accounts(scope.conn());
  const ProviderAccount* account = account_for(scope.conn(), accounts, contact, channel);
  return account != nullptr && account->may_carry(live);
}

Json MobileIntegrations::preview(const Json& contact, const Json& title, const Json& body,
                                 const std::string& mode, const Json& values) {
  Json rendered = render_whatsapp(title, body, mode, values);
  rendered["recipient"] = member_or(contact, "display_name", member_or(contact, "id", kNull));
  return Json{{"preview", rendered}};
}

void MobileIntegrations::require_manager(const std::string& actor) {
  if (!may_manage_users(core_.config()->doc(), actor)) throw AccessDenied();
}

Json MobileIntegrations::operate(const std::string& actor, const Json& request) {
  require_manager(actor);
  const Json& action = member_or(request, "action", kNull);
  if (action == "list") return list();
  if (action == "save_account") return save_account(actor, request);
  if (action == "test_account") return test_account(actor, request);
  if (action == "set_sending") return set_sending(actor, request);
  if (action == "assign_contact") return assign_contact(actor, request);
  if (action == "send_test") return send_test(actor, request);
  throw ConnectorError(
      "Unknown mobile integration action. Use list, save_account, test_account, set_sending, assign_contact or "
      "send_test.");
}

Json MobileIntegrations::list() {
  Json report_now = report();
  DbScope scope = core_.db();
  Json accounts = Json::array();
  for (const ProviderAccount& a : load_accounts(scope.conn())) accounts.push_back(a.view());
  Json tests = Json::array();
  for (Json& row : scope->query("SELECT id,account_id,channel,recipient,actor,at,state,reason FROM mobile_test_sends "
                                "ORDER BY at DESC,rowid DESC LIMIT ?",
                                {kListedTestSends}))
    tests.push_back(std::move(row));
  return Json{{"accounts", accounts},
              {"assignments", load_assignments(scope.conn())},
              {"integrations", report_now},
              {"queue", core_.mobile_jobs().summary(scope.conn())},
              {"test_sends", tests}};
}

Json MobileIntegrations::save_account(const std::string& actor, const Json& request) {
  std::string label = text_member(request, "label", "Give the account a label.");
  if (code_points(label) > kMaxAccountLabelLength)
    throw ConnectorError("The account label is longer than " + std::to_string(kMaxAccountLabelLength) + " characters.");
  const Json& driver = member_or(request, "driver", kNull);
  if (driver != "http" && driver != "mock") throw ConnectorError("Choose the driver \"http\" or \"mock\".");
  Json settings = member_or(request, "settings", kEmptyObject);
  if (!settings.is_object()) throw ConnectorError("The account settings must be an object.");
  try {
    if (driver == "http")
      parse_gateway_settings(settings);
    else
      check_mock_settings(settings);
  } catch (const ProviderConfigurationError& e) {
    throw ConnectorError(std::string("The account settings are not usable: ") + e.what() + ".");
  }
  const Json& make_default = member_or(request, "default", kFalse);
  if (!make_default.is_boolean()) throw ConnectorError("\"default\" must be true or false.");
  const Json& id_value = member_or(request, "id", kNull);
  if (!id_value.is_null() && (!id_value.is_string() || !valid_account_id(id_value.get<std::string>())))
    throw ConnectorError("An account id is 1-64 lower-case letters, digits, - or _.");
  const Json& channel_value = member_or(request, "channel", kNull);
  if (!channel_value.is_null() && !is_channel(channel_value)) throw ConnectorError("Choose the channel sms or whatsapp.");

  const std::string settings_text = json::canonical(settings);
  const double now = core_.clock().now();
  DbScope scope = core_.db();
  scope.begin_immediate();
  Connection& conn = scope.conn();
  std::optional<ProviderAccount> existing;
  std::string id;
  if (id_value.is_string()) {
    id = id_value.get<std::string>();
    existing = find_account(conn, id);
  }
  bool created = !existing;
  std::string channel;
  if (existing) {
    if (existing->source == kConfiguredSource)
      throw ConnectorError("Account " + id + " comes from the configuration file; change \"mobile_providers\" there.");
    if (!channel_value.is_null() && channel_value != existing->channel)
      throw ConnectorError("An account's channel cannot change; create a new account instead.");
    channel = existing->channel;
    bool changed = existing->driver != driver.get<std::string>() || json::canonical(existing->settings) != settings_text;
    // New settings must be tested again before anything leaves through them.
    conn.execute(changed ? "UPDATE mobile_accounts SET label=?,driver=?,settings=?,credentials_verified=?,"
                           "connection_verified=?,exercise_enabled=0,live_enabled=0,tested_at=NULL,last_error=NULL,"
                           "updated=? WHERE id=?"
                         : "UPDATE mobile_accounts SET label=?,driver=?,settings=?,credentials_verified=?,"
                           "connection_verified=?,updated=? WHERE id=?",
                 {label, driver, settings_text, changed ? driver == "mock" : existing->credentials_verified,
                  changed ? driver == "mock" : existing->connection_verified, now, id});
  } else {
    if (channel_value.is_null()) throw ConnectorError("Choose the channel sms or whatsapp.");
    channel = channel_value.get<std::string>();
    if (id.empty()) id = "account-" + uuid4(core_.random()).substr(0, 8);
    if (id.rfind("configured-", 0) == 0)
      throw ConnectorError("Account ids starting with \"configured-\" belong to the configuration file.");
    // A mock account needs no test; it still waits for IT to switch it on.
    bool mock = driver == "mock";
    conn.execute(
        "INSERT INTO mobile_accounts(id,channel,label,driver,source,settings,is_default,credentials_verified,"
        "connection_verified,exercise_enabled,live_enabled,created,updated) VALUES(?,?,?,?,?,?,0,?,?,0,0,?,?)",
        {id, channel, label, driver, kDashboardSource, settings_text, mock, mock, now, now});
  }
  if (make_default == true) {
    conn.execute("UPDATE mobile_accounts SET is_default=(id=?) WHERE channel=?", {id, channel});
  }
  core_.audit(conn, actor, "mobile.account_saved",
              Json{{"account_id", id}, {"channel", channel}, {"driver", driver}, {"label", label},
                   {"created", created}, {"default", make_default}});
  ProviderAccount saved = *find_account(conn, id);
  scope.commit();
  return Json{{"account", saved.view()}};
}

Json MobileIntegrations::test_account(const std::string& actor, const Json& request) {
  ProviderAccount account;
  {
    DbScope scope = core_.db();
    account = existing_account(scope.conn(), request);
  }
  if (!account.usable()) throw ConnectorError("Provider account " + account.id + " is disabled.");
  TestVerdict verdict;
  std::string message;
  if (account.driver == "mock") {
    verdict.credentials = verdict.connection = true;
    message = "The exercise-only mock provider needs no connection test.";
  } else {
    GatewaySettings settings;
    try {
      settings = parse_gateway_settings(account.settings);
    } catch (const ProviderConfigurationError& e) {
      throw ConnectorError(std::string("The account settings are not usable: ") + e.what() + ".");
    }
    if (settings.test_recipient.empty())
      throw ConnectorError("Set \"test_recipient\" in the account settings to the number the test may use.");
    OutgoingMessage probe;
    probe.idempotency_key = uuid4(core_.random());
    probe.channel = account.channel;
    probe.phone = settings.test_recipient;
    probe.text = "Halvenor Mass Communication connection test.";
    probe.mode = "test";
    probe.connection_test = true;
    SendOutcome outcome;
    try {
      outcome = make_transport(core_, account)->send(probe);
    } catch (const ConnectorError& e) {
      outcome = SendOutcome{SendOutcome::Retry, e.what(), "", 0, false};
    }
    verdict = judge_test(outcome);
    message = verdict.error.empty() ? "Credentials and connection verified." : verdict.error;
  }

  const double now = core_.clock().now();
  DbScope scope = core_.db();
  scope.begin_immediate();
  auto current = find_account(scope.conn(), account.id);
  if (!current || current->driver != account.driver ||
      json::canonical(current->settings) != json::canonical(account.settings))
    throw ConnectorError("The account was changed during its test; test it again.");
  scope->execute(
      "UPDATE mobile_accounts SET credentials_verified=?,connection_verified=?,tested_at=?,last_error=?,updated=? "
      "WHERE id=?",
      {verdict.credentials, verdict.connection, now, verdict.error.empty() ? Json(nullptr) : Json(verdict.error), now,
       account.id});
  core_.audit(scope.conn(), actor, "mobile.account_tested",
              Json{{"account_id", account.id}, {"channel", account.channel},
                   {"credentials_verified", verdict.credentials}, {"connection_verified", verdict.connection},
                   {"error", verdict.error.empty() ? Json(nullptr) : Json(verdict.error)}});
  ProviderAccount tested = *find_account(scope.conn(), account.id);
  scope.commit();
  return Json{{"ok", verdict.error.empty()}, {"message", message}, {"account", tested.view()}};
}

Json MobileIntegrations::set_sending(const std::string& actor, const Json& request) {
  const Json& mode = member_or(request, "mode", kNull);
  if (mode != "exercise" && mode != "live") throw ConnectorError("Choose the sending mode \"exercise\" or \"live\".");
  const Json& enabled = member_or(request, "enabled", kNull);
  if (!enabled.is_boolean()) throw ConnectorError("\"enabled\" must be true or false.");
  const double now = core_.clock().now();
  DbScope scope = core_.db();
  scope.begin_immediate();
  ProviderAccount account = existing_account(scope.conn(), request);
  if (enabled == true) {
    if (!account.usable()) throw ConnectorError("Provider account " + account.id + " is disabled.");
    if (mode == "live") {
      if (account.driver != "http")
        throw ConnectorError("The exercise-only mock provider never carries live traffic.");
      if (!account.tested())
        throw ConnectorError("Test provider account " + account.id + " successfully before enabling live sending.");
    }
  }
  scope->execute(mode == "live" ? "UPDATE mobile_accounts SET live_enabled=?,updated=? WHERE id=?"
                                : "UPDATE mobile_accounts SET exercise_enabled=?,updated=? WHERE id=?",
                 {enabled, now, account.id});
  core_.audit(scope.conn(), actor, "mobile.sending_changed",
              Json{{"account_id", account.id}, {"channel", account.channel}, {"mode", mode}, {"enabled", enabled}});
  ProviderAccount changed = *find_account(scope.conn(), account.id);
  scope.commit();
  return Json{{"account", changed.view()}};
}

Json MobileIntegrations::assign_contact(const std::string& actor, const Json& request) {
  const Json& contact_id = member_or(request, "contact_id", kNull);
  if (!contact_id.is_string()) throw ConnectorError("Choose a contact (\"contact_id\").");
  ConfigPtr cfg = core_.config();
  const Json* contact = nullptr;
  for (const Json& c : member_or(cfg->doc(), "contacts", kEmptyArray))
    if (member_or(c, "id", kNull) == contact_id) {
      contact = &c;
      break;
    }
  if (contact == nullptr) throw ConnectorError("Unknown contact \"" + contact_id.get<std::string>() + "\".");
  const Json& account_id = member_or(request, "account_id", kNull);
  if (!account_id.is_null() && !account_id.is_string())
    throw ConnectorError("\"account_id\" must be an account id, or null to remove the assignment.");

  const double now = core_.clock().now();
  DbScope scope = core_.db();
  scope.begin_immediate();
  Connection& conn = scope.conn();
  std::string channel;
  if (account_id.is_null()) {
    const Json& channel_value = member_or(request, "channel", kNull);
    if (!is_channel(channel_value)) throw ConnectorError("Choose the channel sms or whatsapp.");
    channel = channel_value.get<std::string>();
    conn.execute("DELETE FROM mobile_contact_accounts WHERE contact_id=? AND channel=?", {contact_id, channel});
  } else {
    ProviderAccount account = existing_account(conn, request);
    channel = account.channel;
    const Json& channels = member_or(*contact, "channels", kEmptyArray);
    if (!channels.is_array() || std::find(channels.begin(), channels.end(), Json(channel)) == channels.end())
      throw ConnectorError("Contact " + contact_id.get<std::string>() + " does not receive " + channel + " messages.");
    conn.execute(
        "INSERT INTO mobile_contact_accounts(contact_id,channel,account_id,updated) VALUES(?,?,?,?) "
        "ON CONFLICT(contact_id,channel) DO UPDATE SET account_id=excluded.account_id,updated=excluded.updated",
        {contact_id, channel, account.id, now});
  }
  core_.audit(conn, actor, "mobile.contact_assigned",
              Json{{"contact_id", contact_id}, {"channel", channel}, {"account_id", account_id}});
  scope.commit();
  return Json{{"assignment", Json{{"contact_id", contact_id}, {"channel", channel}, {"account_id", account_id}}}};
}

Json MobileIntegrations::send_test(const std::string& actor, const Json& request) {
  const Json& recipient = member_or(request, "recipient", kNull);
  if (!recipient.is_string() || !international_number(recipient.get<std::string>()))
    throw ConnectorError("Enter the test number in international format, such as +447700900123.");
  std::string text = kTestMessageText;
  const Json& typed = member_or(request, "text", kNull);
  if (!typed.is_null()) {
    if (!typed.is_string() || trim(typed.get<std::string>()).empty() ||
        code_points(typed.get<std::string>()) > kMaxTestMessageLength)
      throw TemplateError("A test message is 1-" + std::to_string(kMaxTestMessageLength) + " characters of text.");
    text = trim(typed.get<std::string>());
  }
  ProviderAccount account;
  {
    DbScope scope = core_.db();
    account = existing_account(scope.conn(), request);
  }
  if (!account.usable()) throw ConnectorError("Provider account " + account.id + " is disabled.");

  const std::string id = uuid4(core_.random());
  OutgoingMessage message;
  message.idempotency_key = id;
  message.channel = account.channel;
  message.phone = recipient.get<std::string>();
  message.text = text;
  message.mode = "test";
  SendOutcome outcome;
  try {
    outcome = make_transport(core_, account)->send(message);
  } catch (const ConnectorError& e) {
    outcome = SendOutcome{SendOutcome::Failed, e.what(), "", 0, false};
  }
  const bool sent = outcome.kind == SendOutcome::Sent;
  const std::string state = sent ? "sent" : "failed";
  const Json reason = sent ? Json(nullptr) : Json(outcome.reason);
  const std::string shown_number = masked_number(message.phone);

  DbScope scope = core_.db();
  scope.begin_immediate();
  scope->execute("INSERT INTO mobile_test_sends(id,account_id,channel,recipient,actor,at,state,reason) "
                 "VALUES(?,?,?,?,?,?,?,?)",
                 {id, account.id, account.channel, shown_number, actor, core_.clock().now(), state, reason});
  core_.audit(scope.conn(), actor, "mobile.test_sent",
              Json{{"test_id", id}, {"account_id", account.id}, {"channel", account.channel},
                   {"recipient", shown_number}, {"state", state}, {"reason", reason}});
  scope.commit();
  return Json{{"ok", sent}, {"id", id}, {"state", state}, {"reason", reason}};
}

}  // namespace halvenor
