// The built agent against the built server over HTTPS: two agents through a
// whole journey, receipts surviving a crash while the server is away, a
// server restart mid-poll, and an agent that does not trust the server.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "net/private_files.h"
#include "tests/agent/agent_process_support.h"

namespace halvenor::testing {
namespace {

using namespace std::chrono_literals;

Json exercise(const std::string& title, const std::string& severity = "critical") {
  return Json{{"test", true},         {"title", title},       {"body", "Evacuate ward 3 by the east stairs"},
              {"severity", severity}, {"ttl_minutes", 30},    {"channels", {"desktop"}},
              {"sites", {"North"}}};
}

// Index of the first line containing `needle`, or lines.size().
std::size_t line_index(const std::vector<std::string>& lines, const std::string& needle) {
  for (std::size_t i = 0; i < lines.size(); ++i)
    if (lines[i].find(needle) != std::string::npos) return i;
  return lines.size();
}

std::size_t count_lines(const std::vector<std::string>& lines, const std::string& needle) {
  std::size_t n = 0;
  for (const auto& line : lines) n += line.find(needle) != std::string::npos;
  return n;
}

class AgentProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(agent_program())) GTEST_SKIP() << "agent program not built";
  }

  AgentSetup computer(const std::string& id, const std::string& token, bool live) const {
    return AgentSetup{id, token, live, pki_.ca_pem, pki_.fingerprint};
  }

  TempFolder folder_;
  LocalAuthority pki_ = issue_localhost_certificate(folder_);
};

TEST_F(AgentProcessTest, TwoAgentsReceiveDisplayAndAcknowledgeOnlyWhatTheirPolicyAllows) {
  TlsServer server(folder_, agent_test_config(true), pki_);
  server.start();
  AgentProcess exercise_only(folder_, "ward", server.url(), computer("pc-1", kWardPcToken, false));
  AgentProcess live(folder_, "desk", server.url(), computer("pc-2", kDeskPcToken, true));
  exercise_only.start({"--auto-ack", "1"});
  live.start({"--auto-ack", "1"});
  ASSERT_TRUE(exercise_only.wait_for("profile ")) << ::testing::PrintToString(exercise_only.lines());
  ASSERT_TRUE(live.wait_for("profile "));
  EXPECT_TRUE(exercise_only.saw("exercises only"));

  const std::string drill = server.create_alert(exercise("Fire drill"), "drill-0001");
  ASSERT_TRUE(eventually([&] {
    return server.display_status(drill, "pc-1") == "acknowledged" &&
           server.display_status(drill, "pc-2") == "acknowledged";
  })) << server.alert_in_state(drill).dump();
  for (const char* device : {"pc-1", "pc-2"})
    EXPECT_EQ(server.audit_events(device, drill),
              (std::vector<std::string>{"desktop.received", "desktop.displayed", "desktop.acknowledged"}))
        << device;

  // The exercise-only agent never announced a live-capable protocol, so the
  // server will not address a live incident to its computer.
  Json incident = exercise("Power failure");
  incident["test"] = false;
  incident["incident_reference"] = "INC-7731";
  incident["live_confirmation"] = "SEND LIVE ALERT";
  HttpReply refused = server.post("/api/alerts", kOperatorToken, incident, {{"Idempotency-Key", "incident-7731"}});
  EXPECT_EQ(refused.status, 400);
  EXPECT_EQ(refused.json()["error"], "Upgrade and explicitly enable the live-capable agents for: pc-1");
  incident["departments"] = {"Estates"};
  const std::string live_id = server.create_alert(incident, "incident-7732");
  ASSERT_TRUE(eventually([&] { return server.display_status(live_id, "pc-2") == "acknowledged"; }))
      << server.alert_in_state(live_id).dump();
  EXPECT_EQ(server.display_status(live_id, "pc-1"), "<no desktop delivery>");

  for (AgentProcess* agent : {&exercise_only, &live}) {
    agent->process().send_signal(SIGTERM);
    EXPECT_EQ(agent->process().wait_exit(), 0) << agent->process().error_text();
    agent->collect();
    EXPECT_TRUE(agent->saw("stopped"));
  }
  const auto& lines = live.lines();
  EXPECT_LT(line_index(lines, "shown " + live_id + " critical live"), lines.size());
  EXPECT_LT(line_index(lines, "receipt " + live_id + " received accepted"),
            line_index(lines, "receipt " + live_id + " displayed accepted"));
  EXPECT_LT(line_index(lines, "receipt " + live_id + " displayed accepted"),
            line_index(lines, "receipt " + live_id + " acknowledged accepted"));
}

TEST_F(AgentProcessTest, CancelledAlertLeavesTheScreenAndAStandDownIsShownAsSuch) {
  TlsServer server(folder_, agent_test_config(true), pki_);
  server.start();
  AgentProcess agent(folder_, "desk", server.url(), computer("pc-2", kDeskPcToken, true));
  agent.start({"--auto-ack", "600"});  // nobody acknowledges during this test
  ASSERT_TRUE(agent.wait_for("profile "));

  const std::string drill = server.create_alert(exercise("Drill to cancel", "ticker"), "drill-cancel-1");
  ASSERT_TRUE(agent.wait_for("receipt " + drill + " displayed accepted"));
  ASSERT_EQ(server.post("/api/cancel", kOperatorToken, Json{{"id", drill}}).status, 200);
  ASSERT_TRUE(agent.wait_for("withdrawn " + drill + " (Cancelled)")) << ::testing::PrintToString(agent.lines());

  Json incident = exercise("Power failure");
  incident["test"] = false;
  incident["departments"] = {"Estates"};
  incident["incident_reference"] = "INC-8000";
  incident["live_confirmation"] = "SEND LIVE ALERT";
  const std::string live_id = server.create_alert(incident, "incident-8000");
  ASSERT_TRUE(agent.wait_for("shown " + live_id + " critical live"));
  ASSERT_TRUE(agent.wait_for("receipt " + live_id + " displayed accepted"));
  HttpReply concluded =
      server.post("/api/conclude", kOperatorToken, Json{{"id", live_id}, {"confirmation", "CONCLUDE INCIDENT"}});
  ASSERT_EQ(concluded.status, 200) << concluded.body;
  const std::string standdown = concluded.json()["id"].get<std::string>();
  ASSERT_TRUE(agent.wait_for("withdrawn " + live_id + " (Concluded)")) << ::testing::PrintToString(agent.lines());
  ASSERT_TRUE(agent.wait_for("shown " + standdown)) << ::testing::PrintToString(agent.lines());
  EXPECT_NE(agent.lines().back().find(" live stand-down"), std::string::npos) << agent.lines().back();
  ASSERT_TRUE(agent.wait_for("receipt " + standdown + " displayed accepted"));
  EXPECT_EQ(server.display_status(standdown, "pc-2"), "displayed");
  EXPECT_EQ(server.audit_events("pc-2", drill), (std::vector<std::string>{"desktop.received", "desktop.displayed"}));
}

TEST_F(AgentProcessTest, PendingAcknowledgementSurvivesAKillWhileTheServerIsAway) {
  TlsServer server(folder_, agent_test_config(false), pki_);
  server.start();
  AgentProcess agent(folder_, "ward", server.url(), computer("pc-1", kWardPcToken, true));
  agent.start({"--auto-ack", "3"});
  const std::string id = server.create_alert(exercise("Lockdown drill", "ticker"), "drill-0002");
  ASSERT_TRUE(agent.wait_for("receipt " + id + " displayed accepted")) << ::testing::PrintToString(agent.lines());

  server.stop();  // the reply to the acknowledgement is lost with the server
  const auto journal = agent.state_folder() / "receipts.journal";
  const std::string pending_ack =
      "{\"alert\": \"" + id + "\", \"event\": \"acknowledged\", \"state\": \"pending\"}";
  ASSERT_TRUE(eventually([&] { return setup::read_file(journal, 1 << 20).find(pending_ack) != std::string::npos; }))
      << setup::read_file(journal, 1 << 20);
  agent.process().send_signal(SIGKILL);
  agent.process().wait_exit();

  server.start();
  AgentProcess restarted(folder_, "ward", server.url(), computer("pc-1", kWardPcToken, true));
  restarted.start({"--auto-ack", "3"});
  ASSERT_TRUE(restarted.wait_for("receipt " + id + " acknowledged accepted"))
      << ::testing::PrintToString(restarted.lines());
  EXPECT_EQ(server.display_status(id, "pc-1"), "acknowledged");
  EXPECT_EQ(server.audit_events("pc-1", id),
            (std::vector<std::string>{"desktop.received", "desktop.displayed", "desktop.acknowledged"}));
  // A few polls later: delivered once, never shown again.
  std::this_thread::sleep_for(2500ms);
  restarted.collect();
  EXPECT_EQ(count_lines(restarted.lines(), "receipt " + id), 1u) << ::testing::PrintToString(restarted.lines());
  EXPECT_FALSE(restarted.saw("shown " + id));
}

TEST_F(AgentProcessTest, AgentKeepsPollingThroughAServerRestart) {
  TlsServer server(folder_, agent_test_config(false), pki_);
  server.start();
  AgentProcess agent(folder_, "ward", server.url(), computer("pc-1", kWardPcToken, true));
  agent.start({"--auto-ack", "0"});
  ASSERT_TRUE(agent.wait_for("profile "));
  server.stop();
  ASSERT_TRUE(agent.wait_for("unreachable: ")) << ::testing::PrintToString(agent.lines());
  server.start();
  ASSERT_TRUE(agent.wait_for("connected")) << ::testing::PrintToString(agent.lines());
  const std::string id = server.create_alert(exercise("After the restart"), "drill-0003");
  ASSERT_TRUE(eventually([&] { return server.display_status(id, "pc-1") == "acknowledged"; }))
      << ::testing::PrintToString(agent.lines());
  agent.process().send_signal(SIGINT);
  EXPECT_EQ(agent.process().wait_exit(), 0);
}

TEST_F(AgentProcessTest, AgentThatDoesNotTrustTheServerSendsNothing) {
  TlsServer server(folder_, agent_test_config(false), pki_);
  server.start();
  const std::string id = server.create_alert(exercise("Unseen"), "drill-0004");
  LocalAuthority stranger = issue_localhost_certificate(folder_, "stranger-");
  AgentProcess agent(folder_, "ward", server.url(), AgentSetup{"pc-1", kWardPcToken, true, stranger.ca_pem,
                                                               stranger.fingerprint});
  agent.start({"--once", "--auto-ack", "0"});
  EXPECT_EQ(agent.process().wait_exit(), 1);
  agent.collect();
  EXPECT_TRUE(agent.saw("certificate was not accepted")) << ::testing::PrintToString(agent.lines());
  EXPECT_TRUE(server.last_seen("pc-1").is_null());
  EXPECT_EQ(server.display_status(id, "pc-1"), "pending");

  // The same agent with the right authority reaches it in one cycle.
  AgentProcess trusted(folder_, "ward", server.url(), computer("pc-1", kWardPcToken, true));
  trusted.start({"--once", "--auto-ack", "0"});
  EXPECT_EQ(trusted.process().wait_exit(), 0) << trusted.process().error_text();
  EXPECT_EQ(server.display_status(id, "pc-1"), "acknowledged");
  EXPECT_TRUE(server.last_seen("pc-1").is_number());
}

}  // namespace
}  // namespace halvenor::testing
