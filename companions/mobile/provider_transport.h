// The seam between the delivery queue and the ways a message can leave:
// one transport per provider account, built from the account's driver.
//
//   "mock"  records the message in the database (table mock_outbox, the
//           acknowledgement token withheld) and refuses live traffic
//   "http"  sends it to the account's gateway (gateway_transport.h)
//
// A transport answers every message with an outcome instead of throwing: a
// passing failure is Retry, one that a retry cannot cure is Failed. The
// idempotency key lets a transport, and the gateway behind it, recognise a
// message it has already taken, so a retry after a crash cannot send twice.
//
// Thread-safety: send() may be called from several threads at once.
#pragma once

#include <memory>
#include <string>

#include "base/json_text.h"

namespace halvenor {

class Core;
struct ProviderAccount;

struct OutgoingMessage {
  std::string idempotency_key;  // the job id, or a fresh id for a test message
  std::string channel;
  std::string recipient_id;  // the contact's id; empty for a test message
  std::string phone;         // international format
  std::string text;          // the full text, acknowledgement link included
  std::string link;          // the acknowledgement link alone (may be empty)
  std::string alert_id;      // empty for a test message
  std::string mode;          // "exercise", "live", "standdown" or "test"
  std::string template_name; // WhatsApp template for the mode
  bool live = false;         // live traffic (a live incident or its stand-down)
  bool connection_test = false;
};

struct SendOutcome {
  enum Kind { Sent, Retry, Failed } kind = Failed;
  std::string reason;              // empty when sent
  std::string provider_reference;  // the provider's id for the message, when it gives one
  int status = 0;                  // the gateway's HTTP status, 0 when none
  bool credential_unreadable = false;  // the credential file could not be used
};

class ProviderTransport {
 public:
  virtual ~ProviderTransport() = default;
  virtual SendOutcome send(const OutgoingMessage& message) = 0;
};

// Throws ConnectorError when the account's driver or settings cannot make a
// transport (a disabled driver, settings that no longer parse).
std::unique_ptr<ProviderTransport> make_transport(Core& core, const ProviderAccount& account);

}  // namespace halvenor
