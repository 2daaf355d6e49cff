// Receiving computers enrolling themselves from one rollout file: the built
// agent against the built server over HTTPS.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <memory>
#include <thread>

#include "base/release.h"
#include "net/private_files.h"
#include "tests/agent/agent_process_support.h"

namespace halvenor::testing {
namespace {

using namespace std::chrono_literals;

constexpr char kAdminToken[] = "admin-token-0123456789";

Json enrolment_config(bool live) {
  Json config = agent_test_config(live);
  config["users"].push_back(
      {{"id", "admin"}, {"role", "operator"}, {"token", kAdminToken}, {"can_manage_users", true}});
  return config;
}

unsigned mode_of(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 0777 : 0;
}

class AgentEnrolmentTest : public ::testing::Test {
 protected:
  virtual bool live_installation() const { return false; }

  void SetUp() override {
    if (!std::filesystem::exists(agent_program())) GTEST_SKIP() << "agent program not built";
    server_ = std::make_unique<TlsServer>(folder_, enrolment_config(live_installation()), pki_);
    server_->serve_as_localhost();
    server_->start();
  }

  Json action(const Json& body) {
    HttpReply reply = server_->post("/api/setup/action", kAdminToken, body);
    EXPECT_EQ(reply.status, 200) << reply.body;
    return reply.json();
  }

  Json new_code(long long uses, double hours = 1, bool live = false, const char* department = "Wards") {
    return action({{"action", "enrolment_code"}, {"site", "North"}, {"department", department},
                   {"expires_hours", hours}, {"uses", uses}, {"live", live}});
  }

  HttpReply enrol(const Json& code, const std::string& hostname) {
    return server_->post("/api/agent/enrol", "", {{"code", code}, {"hostname", hostname}});
  }

  Json code_listed(const Json& id) {
    const Json listed = action({{"action", "enrolment_codes"}});
    for (const Json& code : listed["codes"])
      if (code["id"] == id) return code;
    return nullptr;
  }

  Json device_listed(const std::string& id) {
    const Json devices = server_->get("/api/access", kAdminToken).json()["devices"];
    for (const Json& device : devices)
      if (device["id"] == id) return device;
    return nullptr;
  }

  TempFolder folder_;
  LocalAuthority pki_ = issue_localhost_certificate(folder_);
  std::unique_ptr<TlsServer> server_;
};

TEST_F(AgentEnrolmentTest, TwoAgentsEnrolFromOneRolloutAndAcknowledgeAnExercise) {
  const Json created = new_code(2);
  ASSERT_EQ(created["rollout"]["server_url"], server_->url());
  EXPECT_FALSE(created["agent_packages"].empty());  // offered beside the rollout file
  const auto rollout = folder_.write("rollout.json", created["rollout"].dump());

  AgentProcess ward(folder_, "ward"), desk(folder_, "desk"), third(folder_, "third");
  ASSERT_EQ(ward.enrol(rollout, "ward-pc-7"), 0) << ward.process().error_text();
  ASSERT_EQ(desk.enrol(rollout, "desk-pc-2"), 0) << desk.process().error_text();
  EXPECT_EQ(third.enrol(rollout, "spare-pc-9"), 1);
  EXPECT_NE(third.process().error_text().find("This enrolment code has been used up; ask for a new one."),
            std::string::npos)
      << third.process().error_text();

  const auto settings_of = [](const AgentProcess& agent) {
    return json::parse_text(setup::read_file(agent.state_folder() / "settings.json", 1 << 20));
  };
  EXPECT_NE(settings_of(ward)["token"], settings_of(desk)["token"]);
  EXPECT_EQ(settings_of(ward)["allow_live_incidents"], false);
  EXPECT_EQ(mode_of(ward.state_folder() / "settings.json"), 0600u);
  EXPECT_EQ(mode_of(ward.state_folder()), 0700u);
  for (const char* id : {"ward-pc-7", "desk-pc-2"}) {
    const Json device = device_listed(id);
    ASSERT_TRUE(device.is_object()) << id;
    EXPECT_EQ(device["allow_live_desktop"], false);
    EXPECT_EQ(device["site"], "North");
  }
  EXPECT_TRUE(device_listed("spare-pc-9").is_null());
  EXPECT_EQ(code_listed(created["id"])["state"], "used_up");

  ward.start({"--auto-ack", "1"});
  desk.start({"--auto-ack", "1"});
  const std::string drill = server_->create_alert(
      {{"test", true}, {"title", "Fire drill"}, {"body", "Evacuate ward 3 by the east stairs"},
       {"severity", "critical"}, {"ttl_minutes", 30}, {"channels", {"desktop"}}, {"sites", {"North"}}},
      "enrolled-drill-1");
  EXPECT_TRUE(eventually([&] {
    return server_->display_status(drill, "ward-pc-7") == "acknowledged" &&
           server_->display_status(drill, "desk-pc-2") == "acknowledged";
  })) << server_->alert_in_state(drill).dump();
  const Json running = device_listed("ward-pc-7");
  EXPECT_TRUE(running["last_seen"].is_number());
  EXPECT_EQ(running["agent_version"], AGENT_VERSION);
}

TEST_F(AgentEnrolmentTest, ReEnrollingAHostReplacesItsCredentialInsteadOfAddingATwin) {
  const Json code = new_code(2)["code"];
  const HttpReply first = enrol(code, "Ward-PC-7");
  ASSERT_EQ(first.status, 200) << first.body;
  const HttpReply again = enrol(code, "ward-pc-7");
  ASSERT_EQ(again.status, 200) << again.body;
  EXPECT_EQ(again.json()["device_id"], first.json()["device_id"]);
  EXPECT_TRUE(again.json()["re_enrolled"].get<bool>());
  EXPECT_EQ(server_->get("/api/agent/profile", first.json()["token"].get<std::string>()).status, 401);
  EXPECT_EQ(server_->get("/api/agent/profile", again.json()["token"].get<std::string>()).status, 200);
}

TEST_F(AgentEnrolmentTest, ANewHostTakingATakenNameGetsADistinctId) {
  // pc-1 is already in the directory, entered by hand.
  const HttpReply enrolled = enrol(new_code(1)["code"], "PC-1");
  ASSERT_EQ(enrolled.status, 200) << enrolled.body;
  EXPECT_EQ(enrolled.json()["device_id"], "pc-1-2");
}

TEST_F(AgentEnrolmentTest, RevokedExpiredAndUnknownCodesAreRefusedAndChangeNothing) {
  const Json revoked = new_code(5);
  action({{"action", "revoke_enrolment_code"}, {"id", revoked["id"]}});
  const Json expired = new_code(5, 0.0003);  // about a second
  std::this_thread::sleep_for(1500ms);
  const std::size_t audit_rows = server_->get("/api/audit", kAuditorToken).json().size();

  const HttpReply withdrawn = enrol(revoked["code"], "ward-pc-7");
  EXPECT_EQ(withdrawn.status, 400);
  EXPECT_EQ(withdrawn.json()["error"], "This enrolment code has been withdrawn; ask for a new one.");
  const HttpReply late = enrol(expired["code"], "ward-pc-7");
  EXPECT_EQ(late.json()["error"], "This enrolment code has expired; ask for a new one.");
  EXPECT_EQ(enrol("guessed-code", "ward-pc-7").json()["error"], "This enrolment code is not valid.");

  EXPECT_EQ(server_->get("/api/audit", kAuditorToken).json().size(), audit_rows);
  EXPECT_TRUE(device_listed("ward-pc-7").is_null());
  EXPECT_EQ(code_listed(expired["id"])["used"], 0);
}

TEST_F(AgentEnrolmentTest, GuessingCodesIsThrottledPerAddress) {
  int status = 0;
  for (int attempt = 0; attempt < 25 && status != 429; ++attempt)
    status = enrol("guess-" + std::to_string(attempt), "ward-pc-7").status;
  EXPECT_EQ(status, 429);
}

TEST_F(AgentEnrolmentTest, AgentSendsNoCodeToAServerItsRolloutDoesNotVouchFor) {
  const Json created = new_code(1);
  const LocalAuthority other = issue_localhost_certificate(folder_, "other-");
  Json rollout = created["rollout"];
  rollout["ca_certificate"] = other.ca_pem;
  rollout["ca_sha256_fingerprint"] = other.fingerprint;
  AgentProcess stranger(folder_, "stranger");
  EXPECT_EQ(stranger.enrol(folder_.write("other-rollout.json", rollout.dump()), "ward-pc-7"), 1);

  rollout = created["rollout"];
  rollout["ca_sha256_fingerprint"] = other.fingerprint;  // pins an authority other than the one it carries
  AgentProcess mismatched(folder_, "mismatched");
  EXPECT_EQ(mismatched.enrol(folder_.write("mismatched-rollout.json", rollout.dump()), "ward-pc-7"), 1);
  EXPECT_NE(mismatched.process().error_text().find("ca_sha256_fingerprint does not match"), std::string::npos)
      << mismatched.process().error_text();

  EXPECT_EQ(code_listed(created["id"])["used"], 0);  // the code was never presented
}

class LiveEnrolmentTest : public AgentEnrolmentTest {
 protected:
  bool live_installation() const override { return true; }
};

TEST_F(LiveEnrolmentTest, AnEnrolledComputerTakesLiveIncidentsOnlyOnceBothItsKeysAllowThem) {
  AgentProcess agent(folder_, "security");
  auto enrol_and_poll = [&](bool live_code) {
    const Json rollout = new_code(1, 1, live_code, "Security")["rollout"];
    ASSERT_EQ(agent.enrol(folder_.write("rollout.json", rollout.dump()), "security-pc-1"), 0)
        << agent.process().error_text();
    agent.start({"--once"});
    ASSERT_EQ(agent.process().wait_exit(), 0) << agent.process().error_text();
  };
  Json incident{{"test", false}, {"title", "Intruder"}, {"body", "Lock the doors"}, {"severity", "critical"},
                {"ttl_minutes", 30}, {"channels", {"desktop"}}, {"sites", {"North"}}, {"departments", {"Security"}},
                {"incident_reference", "INC-1"}, {"live_confirmation", "SEND LIVE ALERT"}};
  auto raise = [&](const std::string& key) {
    return server_->post("/api/alerts", kOperatorToken, incident, {{"Idempotency-Key", key}});
  };
  const std::string refusal = "Upgrade and explicitly enable the live-capable agents for: security-pc-1";

  enrol_and_poll(false);
  EXPECT_EQ(raise("incident-1").json()["error"], refusal);

  // The administrator's switch alone: the computer's own policy still says exercises only.
  ASSERT_EQ(server_->post("/api/access/change", kAdminToken,
                          {{"kind", "device"}, {"action", "edit"}, {"id", "security-pc-1"},
                           {"changes", {{"allow_live_desktop", true}}}})
                .status,
            200);
  EXPECT_EQ(raise("incident-2").json()["error"], refusal);

  // IT's live rollout file: the same computer, now allowed on both sides.
  enrol_and_poll(true);
  EXPECT_EQ(device_listed("security-pc-1")["allow_live_desktop"], true);
  EXPECT_EQ(raise("incident-3").status, 201) << raise("incident-3").body;
}

}  // namespace
}  // namespace halvenor::testing
