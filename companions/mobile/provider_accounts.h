// Provider accounts: the connections through which one mobile channel's
// messages leave, with the readiness IT has established for each.
//
// An account belongs to one channel and one driver ("mock" or "http"; a
// configured channel whose driver became "disabled" keeps its row with that
// driver so assignments to it fail visibly). Each channel configured in the
// configuration's "mobile_providers" is seeded as the account
// "configured-<channel>", which is the channel's default account unless IT
// marks another; IT adds further accounts from the dashboard.
//
// Readiness, per account:
//   credentials_verified, connection_verified  set by an explicit test (a
//       "mock" account needs none: it never leaves the machine);
//   exercise_enabled, live_enabled  switched by IT; live only on a tested
//       "http" account, never on "mock".
// A contact's account for a channel is, in this order: the assignment stored
// from the dashboard, the contact's own "account_id" when that account carries
// the channel, else the channel's default account.
//
// Tables: mobile_accounts, mobile_contact_accounts, mobile_test_sends.
// Functions take the caller's connection and never begin transactions.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "base/json_text.h"
#include "server/core/database.h"

namespace halvenor {

struct ProviderSet;

inline constexpr const char* kConfiguredSource = "configuration";
inline constexpr const char* kDashboardSource = "dashboard";

struct ProviderAccount {
  std::string id;
  std::string channel;
  std::string label;
  std::string driver;
  std::string source;  // kConfiguredSource or kDashboardSource
  Json settings = Json::object();
  bool is_default = false;
  bool credentials_verified = false;
  bool connection_verified = false;
  bool exercise_enabled = false;
  bool live_enabled = false;
  Json tested_at;   // time of the last test, or null
  Json last_error;  // text of the last failed test, or null

  bool usable() const { return driver == "http" || driver == "mock"; }
  bool tested() const { return usable() && credentials_verified && connection_verified; }
  // Whether messages of this kind may leave through the account now.
  bool may_carry(bool live) const {
    return tested() && (live ? driver == "http" && live_enabled : exercise_enabled);
  }
  // What IT is shown: everything but nothing secret (the settings hold only
  // the credential file's path).
  Json view() const;
};

void create_account_schema(Connection& conn);

// "configured-sms", "configured-whatsapp".
std::string configured_account_id(const std::string& channel);

// Brings the configured accounts in line with the provider set. A new or
// changed configured account starts afresh: a "mock" one ready for exercise
// sending, an "http" one untested and switched off. An unchanged one keeps
// what IT tested and switched.
void seed_configured_accounts(Connection& conn, const ProviderSet& providers, double now);

std::vector<ProviderAccount> load_accounts(Connection& conn);
std::optional<ProviderAccount> find_account(Connection& conn, const std::string& id);

// The contact's account for the channel among `accounts` (see above), or
// nullptr when the contact has none or its assigned account does not exist.
const ProviderAccount* account_for(Connection& conn, const std::vector<ProviderAccount>& accounts,
                                   const Json& contact, const std::string& channel);

// The stored assignments, for IT's overview.
Json load_assignments(Connection& conn);

}  // namespace halvenor
