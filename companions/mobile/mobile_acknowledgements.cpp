#include "companions/mobile/mobile_acknowledgements.h"

#include "base/digest.h"
#include "base/errors.h"
#include "server/core/core.h"

namespace halvenor {
namespace {

constexpr std::size_t kTokenBytes = 24;
constexpr std::size_t kMaxTokenLength = 128;

}  // namespace

MobileAcknowledgements::MobileAcknowledgements(Core& core) : core_(core) {
  DbScope scope = core_.db();
  scope.begin_immediate();
  create_schema(scope.conn());
  scope.commit();
}

void MobileAcknowledgements::create_schema(Connection& conn) {
  conn.exec(
      "CREATE TABLE IF NOT EXISTS mobile_ack_tokens(token_hash TEXT PRIMARY KEY, alert_id TEXT NOT NULL, "
      "contact_id TEXT NOT NULL, channel TEXT NOT NULL, expires REAL NOT NULL, used REAL)");
}

void MobileAcknowledgements::set_public_base(std::string base) {
  std::lock_guard lock(base_mutex_);
  public_base_ = std::move(base);
}

std::string MobileAcknowledgements::public_base() const {
  std::lock_guard lock(base_mutex_);
  return public_base_;
}

std::string MobileAcknowledgements::issue(Connection& conn, const std::string& alert_id,
                                          const std::string& contact_id, const std::string& channel,
                                          double expires) {
  std::string token = random_token(core_.random(), kTokenBytes);
  conn.execute(
      "INSERT INTO mobile_ack_tokens(token_hash,alert_id,contact_id,channel,expires) VALUES(?,?,?,?,?)",
      {sha256_hex(token), alert_id, contact_id, channel, expires});
  return public_base() + "/acknowledge#" + token;
}

Json MobileAcknowledgements::acknowledge_link(const Json& token, const Json& confirmed) {
  if (!token.is_string() || token.get<std::string>().empty() ||
      token.get<std::string>().size() > kMaxTokenLength)
    throw MobileAckInvalid("This acknowledgement link is not valid.");
  if (!exactly_true(confirmed)) throw MobileAckInvalid("Confirm that you received the alert.");
  const std::string token_hash = sha256_hex(token.get<std::string>());

  DbScope scope = core_.db();
  scope.begin_immediate();
  auto row = scope->query_one(
      "SELECT t.alert_id,t.contact_id,t.channel,t.expires,a.title,a.cancelled,a.is_test,d.acknowledged "
      "FROM mobile_ack_tokens t JOIN alerts a ON a.id=t.alert_id "
      "JOIN deliveries d ON d.alert_id=t.alert_id AND d.recipient_id=t.contact_id AND d.channel=t.channel "
      "WHERE t.token_hash=?",
      {token_hash});
  if (!row) throw MobileAckInvalid("This acknowledgement link is not valid.");
  const Json& r = *row;
  Json reply = {{"ok", true}, {"title", r["title"]}, {"exercise", r["is_test"] != 0}};
  // Every retry of a message carries its own token; whichever is used first
  // records the delivery, and the others then only confirm it.
  if (!r["acknowledged"].is_null()) {
    reply["message"] = "Your acknowledgement was already recorded. Thank you.";
    return reply;
  }
  const double now = core_.clock().now();
  if (r["expires"].get<double>() <= now) throw MobileAckInvalid("This alert has expired.");
  if (r["cancelled"] != 0) throw MobileAckInvalid("This alert was withdrawn.");

  scope->execute("UPDATE mobile_ack_tokens SET used=? WHERE token_hash=?", {now, token_hash});
  scope->execute("UPDATE deliveries SET acknowledged=? WHERE alert_id=? AND recipient_id=? AND channel=?",
                 {now, r["alert_id"], r["contact_id"], r["channel"]});
  core_.audit(scope.conn(), r["contact_id"].get<std::string>(), "mobile.acknowledged",
              Json{{"alert_id", r["alert_id"]}, {"channel", r["channel"]}, {"is_test", r["is_test"] != 0}});
  scope.commit();
  reply["message"] = "Thank you. Your acknowledgement has been recorded.";
  return reply;
}

}  // namespace halvenor
