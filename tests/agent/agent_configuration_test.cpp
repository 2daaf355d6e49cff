// The agent's settings file, command line, poll timing and trust store.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "agent/agent_options.h"
#include "agent/agent_settings.h"
#include "agent/poll_schedule.h"
#include "agent/trust_store.h"
#include "net/certificates.h"
#include "net/private_files.h"
#include "tests/support/temp_folder.h"

namespace halvenor::agent {
namespace {

struct Authority {
  std::string pem, fingerprint;
};

Authority new_authority(const std::string& name) {
  auto key = setup::generate_ec_p256_key();
  auto ca = setup::make_ca(key.get(), name, 1.7e9);
  return {setup::pem(ca.get()), setup::sha256_fingerprint(ca.get())};
}

Json settings_document(const Authority& ca) {
  return Json{{"server_url", "https://alerts.hospital.example:8443"},
              {"device_id", "ward-pc-7"},
              {"token", "device-token-0123456789"},
              {"ca_certificate", ca.pem},
              {"ca_sha256_fingerprint", ca.fingerprint}};
}

TEST(AgentSettingsTest, AcceptsTheBundleFormAndRefusesWhatWouldWeakenTrust) {
  const Authority ca = new_authority("Agent Test Authority");
  AgentSettings settings = parse_agent_settings(settings_document(ca));
  EXPECT_EQ(settings.server.host, "alerts.hospital.example");
  EXPECT_EQ(settings.server.port, "8443");
  EXPECT_TRUE(settings.server.tls);
  EXPECT_TRUE(settings.allow_live_incidents);  // bundles allow live incidents unless told otherwise

  Json exercise_only = settings_document(ca);
  exercise_only["allow_live_incidents"] = false;
  EXPECT_FALSE(parse_agent_settings(exercise_only).allow_live_incidents);

  const Authority other = new_authority("Someone Else");
  const struct {
    const char* key;
    Json value;
  } refused[] = {
      {"server_url", "http://alerts.hospital.example"},
      {"server_url", "ftp://alerts"},
      {"token", ""},
      {"token", "two words"},
      {"device_id", 7},
      {"ca_sha256_fingerprint", other.fingerprint},  // pins another authority than the one given
      {"ca_certificate", "not a certificate"},
      {"allow_live_incidents", "yes"},
  };
  for (const auto& r : refused) {
    Json document = settings_document(ca);
    document[r.key] = r.value;
    EXPECT_THROW(parse_agent_settings(document), AgentSetupError) << r.key << " = " << r.value;
  }
  Json missing = settings_document(ca);
  missing.erase("token");
  EXPECT_THROW(parse_agent_settings(missing), AgentSetupError);
}

TEST(AgentOptionsTest, HeadlessOnlyOptionsAndNumbersAreChecked) {
  AgentOptions options = parse_agent_options({"--settings", "s.json", "--headless", "--auto-ack", "2.5", "--once",
                                              "--state-dir", "/tmp/x", "--poll-interval", "1"});
  EXPECT_EQ(options.settings, "s.json");
  EXPECT_EQ(options.auto_ack_seconds, 2.5);
  EXPECT_TRUE(options.once);
  EXPECT_EQ(options.state_dir, "/tmp/x");
  EXPECT_EQ(options.poll_seconds, 1.0);
  EXPECT_FALSE(parse_agent_options({"--settings", "s.json"}).headless);

  EXPECT_TRUE(parse_agent_options({}).settings.empty());  // runs from what enrolment wrote

  const std::vector<std::vector<std::string>> refused = {
      {"--enrol", "rollout.json", "--headless"},  // enrolment writes settings and ends
      {"--settings", "s.json", "--hostname", "ward-pc-7"},
      {"--settings"},
      {"--settings", "s.json", "--auto-ack", "5"},  // a desktop never acknowledges by itself
      {"--settings", "s.json", "--once"},
      {"--settings", "s.json", "--headless", "--auto-ack", "-1"},
      {"--settings", "s.json", "--headless", "--auto-ack", "soon"},
      {"--settings", "s.json", "--poll-interval", "0.2"},
      {"--settings", "s.json", "--verbose"},
  };
  for (const auto& args : refused)
    EXPECT_THROW(parse_agent_options(args), AgentUsageError) << ::testing::PrintToString(args);
}

TEST(PollScheduleTest, JitterStaysAroundTheIntervalAndBackOffDoublesUpToItsCap) {
  PollTiming timing;  // 5 s +/- 20 %, back-off from 1 s to 60 s
  EXPECT_DOUBLE_EQ(poll_delay(timing, 0.0), 4.0);
  EXPECT_DOUBLE_EQ(poll_delay(timing, 0.5), 5.0);
  EXPECT_NEAR(poll_delay(timing, 0.999999), 6.0, 1e-5);
  EXPECT_DOUBLE_EQ(backoff_delay(timing, 1, 1.0), 1.0);
  EXPECT_DOUBLE_EQ(backoff_delay(timing, 3, 1.0), 4.0);
  EXPECT_DOUBLE_EQ(backoff_delay(timing, 3, 0.0), 2.0);
  EXPECT_DOUBLE_EQ(backoff_delay(timing, 7, 1.0), 60.0);    // 64 capped
  EXPECT_DOUBLE_EQ(backoff_delay(timing, 5000, 0.0), 30.0);  // no overflow after a long outage
}

TEST(TrustStoreTest, AnnouncedAuthorityIsCheckedKeptAndTrustedBesideTheBundlesOne) {
  test_support::TempFolder folder;
  const Authority bundled = new_authority("Bundled Authority");
  const Authority announced = new_authority("Announced Authority");
  AgentSettings settings = parse_agent_settings(settings_document(bundled));
  {
    TrustStore trust(settings, folder.path());
    EXPECT_EQ(setup::read_file(trust.trust_file(), 1 << 20), bundled.pem);
    EXPECT_TRUE(trust.trusts(bundled.fingerprint));
    EXPECT_FALSE(trust.trusts(announced.fingerprint));
    EXPECT_THROW(trust.install(announced.pem, bundled.fingerprint), AgentSetupError);
    EXPECT_THROW(trust.install("garbage", announced.fingerprint), AgentSetupError);
    EXPECT_FALSE(trust.trusts(announced.fingerprint));
    trust.install(announced.pem, announced.fingerprint);
    EXPECT_TRUE(trust.trusts(announced.fingerprint));
  }
  TrustStore reopened(settings, folder.path());
  EXPECT_TRUE(reopened.trusts(announced.fingerprint));
  EXPECT_TRUE(reopened.trusts(bundled.fingerprint));
  auto chain = setup::cert_chain_load(setup::read_file(reopened.trust_file(), 1 << 20));
  ASSERT_EQ(chain.size(), 2u);
  EXPECT_EQ(setup::sha256_fingerprint(chain[1].get()), announced.fingerprint);
  struct stat info {};
  ASSERT_EQ(::stat(reopened.trust_file().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
}

}  // namespace
}  // namespace halvenor::agent
