// Acknowledgement links for SMS and WhatsApp recipients.
//
// Each mobile message carries a link to "/acknowledge#<token>". The token is
// random, stored only as its SHA-256, bound to one (alert, contact, channel)
// and valid until the alert expires. Confirming it records the delivery's
// acknowledgement once, with the audit event "mobile.acknowledged" (actor:
// the contact). A message sent again after a failure carries a new token for
// the same delivery; once any of them has been used, the others confirm the
// acknowledgement without writing anything.
//
// Thread-safety: all operations may be called concurrently.
#pragma once

#include <mutex>
#include <string>

#include "base/json_text.h"
#include "server/core/database.h"

namespace halvenor {

class Core;

class MobileAcknowledgements {
 public:
  explicit MobileAcknowledgements(Core& core);

  static void create_schema(Connection& conn);

  // The scheme://host[:port] recipients' phones reach the service on.
  void set_public_base(std::string base);
  std::string public_base() const;

  // Creates a token for the delivery inside the caller's transaction and
  // returns the link to put in the message.
  std::string issue(Connection& conn, const std::string& alert_id, const std::string& contact_id,
                    const std::string& channel, double expires);

  // Records the acknowledgement when `confirmed` is exactly true and the
  // token is known and unexpired; returns what the page should show. Throws
  // MobileAckInvalid with a message for anything else, writing nothing.
  Json acknowledge_link(const Json& token, const Json& confirmed);

 private:
  Core& core_;
  mutable std::mutex base_mutex_;
  std::string public_base_;
};

}  // namespace halvenor
