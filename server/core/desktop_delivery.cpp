// Desktop agents: profile, channel readiness, polling and receipts.
#include "base/errors.h"
#include "base/text.h"
#include "server/core/channel_readiness.h"
#include "server/core/core.h"
#include "server/core/directory_views.h"

namespace halvenor {
namespace {


bool is_receipt_name(const Json& event) {
  return event == "received" || event == "displayed" || event == "acknowledged";
}

}  // namespace

Json Core::agent_channel_status() { return Json{{"channels", channel_readiness(mobile_routing().report())}}; }

Json Core::agent_profile(const std::string& actor) {
  ConfigPtr cfg = config();
  auto computer = find_computer(required(cfg->doc(), "devices"), actor);
  if (!computer || !computer->active()) throw Invalid("Receiving computer was not found");
  const Json* device = &computer->json();
  Json profile = agent_channel_status();
  profile["desktop_policy"] = {{"server_enabled", live_enabled()},
                               {"computer_enabled", computer->allows_live_desktop()}};
  auto name_or_id = [&](const char* key) {
    const Json& value = member_or(*device, key, kNull);
    return truthy(value) ? value : device->at("id");
  };
  profile["device"] = {{"display_name", name_or_id("display_name")}, {"computer_id", name_or_id("computer_id")}};
  return profile;
}

Json Core::poll(const std::string& device, bool live_capable, const std::string& protocol) {
  if (deployment_scope_ == "home_lab" && protocol != "live-desktop-v2") live_capable = false;
  ConfigPtr cfg = config();
  bool live = live_enabled_ && live_capable && cfg->device_allows_live(device);

  heartbeats_.record(database_, device, Heartbeat{clock_->now(), live_capable, protocol});

  DbScope scope = db();
  Connection& conn = scope.conn();
  // A read only: the heartbeat waits in memory for the next flush. The query walks the unexpired alerts (few) and finds each delivery in the
  // index of pending desktop deliveries, so its cost does not grow with the
  // history of past alerts. The indexes are named because, without table
  // statistics, the planner prefers walking every alert in creation order to
  // sorting the few unexpired ones. A commit on any other connection (another
  // poll's heartbeat) empties this connection's page cache, so every page the
  // query touches is read again: the fewer, the better.
  std::vector<Json> rows = conn.query(
      "SELECT a.*, d.displayed, d.acknowledged FROM alerts a INDEXED BY alerts_by_expiry "
      "CROSS JOIN deliveries d INDEXED BY deliveries_awaiting_desktop "
      "ON d.alert_id=a.id AND d.recipient_id=? AND d.channel='desktop' "
      "WHERE a.expires>? AND a.cancelled=0 AND d.acknowledged IS NULL AND (a.is_test=1 OR ?=1) "
      "ORDER BY a.created",
      {device, clock_->now(), live ? 1 : 0});
  // One undecodable stored text (written before it was validated, or by
  // hand) must not make the reply unwritable and so hide every other alert
  // from this computer.
  for (Json& row : rows) {
    for (auto& [name, value] : row.items()) {
      if (value.is_string() && !is_utf8(value.get_ref<const std::string&>()))
        value = to_valid_utf8(value.get_ref<const std::string&>());
    }
  }
  return Json(std::move(rows));
}

void Core::receipt(const std::string& device, const std::string& aid, const Json& event) {
  if (!is_receipt_name(event)) throw Invalid("Invalid receipt");
  const std::string name = event.get<std::string>();

  // Thousands of computers report within seconds of an alert; they share
  // transactions and disk flushes (see write_batch.h), each still durable
  // before its reply.
  receipts_.run(database_, [&](Connection& conn) {
    auto row = conn.query_one(
        "SELECT d.*,a.cancelled,a.expires,a.is_test,a.deployment_scope FROM deliveries d JOIN alerts a "
        "ON a.id=d.alert_id WHERE alert_id=? AND recipient_id=? AND channel='desktop'",
        {aid, device});
    if (!row) throw Invalid("Alert not assigned to this device");
    const Json& delivery = *row;
    // A repeat changes nothing; its success is reported once the batch
    // holding it, and so the first report, is on disk.
    if (!delivery[name].is_null()) return;
    double now = clock_->now();
    if (delivery["cancelled"] != 0 || delivery["expires"].get<double>() <= now)
      throw Invalid("Alert cancelled or expired");
    if ((name == "displayed" && delivery["received"].is_null()) ||
        (name == "acknowledged" && delivery["displayed"].is_null()))
      throw Invalid("Receipt sequence must be received, displayed, acknowledged");
    // `name` is one of the three receipt names, so it is safe as a column name.
    conn.execute("UPDATE deliveries SET " + name +
                     "=?,status=? WHERE alert_id=? AND recipient_id=? AND channel='desktop'",
                 {now, name, aid, device});
    audit(conn, device, "desktop." + name,
          Json{{"alert_id", aid}, {"is_test", delivery["is_test"] != 0}, {"deployment_scope", delivery["deployment_scope"]}});
  });
}

}  // namespace halvenor
