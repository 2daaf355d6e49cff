#include "companions/mobile/mock_transport.h"

#include "server/core/core.h"

namespace halvenor {
namespace {

constexpr const char* kWithheldToken = "(token withheld)";

std::string without_token(std::string text, const std::string& link) {
  std::size_t hash = link.find('#');
  if (link.empty() || hash == std::string::npos) return text;
  std::string shown = link.substr(0, hash + 1) + kWithheldToken;
  for (std::size_t at = text.find(link); at != std::string::npos; at = text.find(link, at + shown.size()))
    text.replace(at, link.size(), shown);
  return text;
}

}  // namespace

void MockTransport::create_schema(Connection& conn) {
  conn.exec(R"sql(
CREATE TABLE IF NOT EXISTS mock_outbox(
  job_id TEXT PRIMARY KEY, channel TEXT NOT NULL, recipient_id TEXT NOT NULL, address TEXT,
  text TEXT NOT NULL, at REAL NOT NULL);
)sql");
}

SendOutcome MockTransport::send(const OutgoingMessage& message) {
  SendOutcome outcome;
  if (message.live) {
    outcome.reason = "The exercise-only mock provider never carries live traffic.";
    return outcome;
  }
  DbScope scope = core_.db();
  scope.begin_immediate();
  scope->execute(
      "INSERT OR IGNORE INTO mock_outbox(job_id,channel,recipient_id,address,text,at) VALUES(?,?,?,?,?,?)",
      {message.idempotency_key, message.channel, message.recipient_id, message.phone,
       without_token(message.text, message.link), core_.clock().now()});
  scope.commit();
  outcome.kind = SendOutcome::Sent;
  outcome.provider_reference = "mock:" + message.idempotency_key;
  return outcome;
}

}  // namespace halvenor
