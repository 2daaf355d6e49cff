// Readiness of the mobile channels, routing of contacts to provider
// accounts, message previews, and IT's administration of the accounts.
//
// Readiness is computed afresh from the provider accounts (see
// provider_accounts.h) on every call, so a test, a switch or an assignment
// made by IT takes effect on the next request. Per channel, counting only
// accounts whose driver can send:
//   credentials_verified      some account's credentials were verified
//   connection_verified       some account passed its test (both checks)
//   exercise_sending_enabled  some tested account has exercise sending on
//   live_sending_enabled      some tested "http" account has live sending on
//   network_delivery_enabled  either of the two above
// All are false when the configuration's "provider" is "disabled". Each
// channel's entry also names its default account and that account's driver.
// route() then decides per contact, on the contact's own account.
//
// operate() serves "/api/mobile/integration" for users whose enabled entry
// holds can_manage_users exactly true (AccessDenied otherwise). Actions:
//   "list"            accounts, assignments, readiness, queue, recent tests
//   "save_account"    create or change a dashboard account
//   "test_account"    verify credentials and connection with a test request
//   "set_sending"     switch exercise or live sending of an account
//   "assign_contact"  store which account carries a contact's channel
//   "send_test"       send one test message to one number
// Every change writes an audit event ("mobile.account_saved",
// "mobile.account_tested", "mobile.sending_changed",
// "mobile.contact_assigned", "mobile.test_sent") in the transaction that makes
// it. Network calls happen with no transaction open. Bad input is refused
// with ConnectorError (TemplateError for message texts), writing nothing.
//
// Thread-safety: all operations may be called concurrently from request
// threads. Construction seeds the configured accounts (one transaction).
#pragma once

#include <string>
#include <vector>

#include "base/json_text.h"
#include "server/core/mobile_channels.h"

namespace halvenor {

class Core;
struct ProviderAccount;

// Test messages: the default text and the longest text IT may type.
inline constexpr const char* kTestMessageText = "Test message from Halvenor Mass Communication. No action needed.";
inline constexpr std::size_t kMaxTestMessageLength = 160;
inline constexpr std::size_t kMaxAccountIdLength = 64;
// How many recent test messages "list" shows.
inline constexpr int kListedTestSends = 20;

class MobileIntegrations : public MobileRouting {
 public:
  // Builds the configured providers (Invalid when the configuration names
  // ones that cannot be built) and seeds their accounts.
  explicit MobileIntegrations(Core& core);

  // {"sms": {...}, "whatsapp": {...}}, see above.
  Json report() override;
  // Whether `contact` (an empty object once removed) has an account that is
  // tested and enabled to carry `channel` messages, live ones when `live`.
  bool route(const Json& contact, const std::string& channel, bool live) override;
  // {"preview": {...}} for a WhatsApp message to `contact`; throws TemplateError.
  Json preview(const Json& contact, const Json& title, const Json& body, const std::string& mode,
               const Json& values) override;
  Json operate(const std::string& actor, const Json& request);

 private:
  void require_manager(const std::string& actor);
  Json list();
  Json save_account(const std::string& actor, const Json& request);
  Json test_account(const std::string& actor, const Json& request);
  Json set_sending(const std::string& actor, const Json& request);
  Json assign_contact(const std::string& actor, const Json& request);
  Json send_test(const std::string& actor, const Json& request);

  Core& core_;
};

}  // namespace halvenor
