// The exercise-only loopback provider: instead of sending, it records what
// it would have sent in the database (table mock_outbox), once per
// idempotency key, like a gateway that deduplicates. The acknowledgement
// token is withheld from the record, since tokens are only ever stored as
// hashes. Live traffic is refused: nothing that looks like delivery of a real
// incident may be faked.
//
// Thread-safety: send() may be called concurrently; each call writes in its
// own immediate transaction.
#pragma once

#include "companions/mobile/provider_transport.h"
#include "server/core/database.h"

namespace halvenor {

class MockTransport final : public ProviderTransport {
 public:
  explicit MockTransport(Core& core) : core_(core) {}
  SendOutcome send(const OutgoingMessage& message) override;

  static void create_schema(Connection& conn);

 private:
  Core& core_;
};

}  // namespace halvenor
