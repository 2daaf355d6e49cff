// The unattended mode as the built program: refusals with the window's
// messages, a scripted install with --json, and a full install that leaves
// the server running and reachable over HTTPS.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>

#include "tests/firstrun/firstrun_test_support.h"
#include "tests/process/process_support.h"
#include "tests/support/temp_folder.h"

namespace halvenor::firstrun {
namespace {

namespace fs = std::filesystem;
using firstrun_test::read_all;

struct Outcome {
  int status = -1;
  std::vector<std::string> lines;
  std::string error;
};

Outcome run_firstrun(const std::vector<std::string>& args) {
  std::vector<std::string> argv{(fs::path(HALVENOR_DIST_DIR) / "firstrun").string()};
  argv.insert(argv.end(), args.begin(), args.end());
  testing::ChildProcess child(argv);
  Outcome run;
  while (auto line = child.read_line(std::chrono::seconds(120))) run.lines.push_back(*line);
  run.status = child.wait_exit().value_or(-1);
  run.error = child.error_text();
  return run;
}

class Unattended : public ::testing::Test {
 protected:
  std::vector<std::string> args(const std::string& port = "8765") const {
    return {"--unattended", "--folder", target.string(), "--hostname", "localhost", "--bind", "127.0.0.1",
            "--port",       port,       "--account",     "ops-admin",  "--name",   "Night Operator"};
  }
  test_support::TempFolder temp;
  fs::path target = temp.path() / "install";
};

TEST_F(Unattended, RefusesWithTheSameMessagesAndWritesNothing) {
  Outcome run = run_firstrun(args());
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.error, "Read and agree to the licence terms to continue.\n");

  auto bad_port = args("65536");
  bad_port.push_back("--accept-terms");
  run = run_firstrun(bad_port);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.error, "Port must be between 1 and 65535.\n");
  EXPECT_FALSE(fs::exists(target));

  run = run_firstrun({"--unattended", "--folder", target.string(), "--bogus"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.error.find("--bogus"), std::string::npos) << run.error;
  run = run_firstrun({"--unattended", "--hostname", "localhost", "--account", "abc", "--name", "n", "--accept-terms"});
  EXPECT_EQ(run.status, 2);
  EXPECT_NE(run.error.find("--folder is required"), std::string::npos) << run.error;
}

TEST_F(Unattended, BusyPortIsRefusedBeforeAnythingIsWritten) {
  const int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  socklen_t length = sizeof address;
  ASSERT_EQ(getsockname(holder, reinterpret_cast<sockaddr*>(&address), &length), 0);
  const std::string port = std::to_string(ntohs(address.sin_port));

  auto busy = args(port);
  busy.push_back("--accept-terms");
  Outcome run = run_firstrun(busy);
  close(holder);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.error.rfind("The server cannot listen on 127.0.0.1:" + port + " (Address already in use).", 0), 0u)
      << run.error;
  EXPECT_FALSE(fs::exists(target));
}

TEST_F(Unattended, JsonResultWithoutStartingNeverShowsTheToken) {
  auto command = args();
  command.insert(command.end(), {"--accept-terms", "--no-start", "--json"});
  const Outcome run = run_firstrun(command);
  ASSERT_EQ(run.status, 0) << run.error;
  ASSERT_EQ(run.lines.size(), 1u);
  const Json result = Json::parse(run.lines[0]);
  EXPECT_EQ(result["ok"], true);
  EXPECT_EQ(result["started"], false);
  EXPECT_EQ(result["account"], "ops-admin");
  EXPECT_EQ(result["url"], "https://localhost:8765");
  EXPECT_TRUE(result["browser_trust_scope"].is_null());
  const std::string credential = read_all(result["credential_file"].get<std::string>());
  const std::string token = credential.substr(credential.find("token: ") + 7, 43);
  EXPECT_EQ(run.lines[0].find(token), std::string::npos);
  EXPECT_TRUE(fs::exists(target / "server"));
  EXPECT_TRUE(fs::exists(target / "data" / "deployment" / "server-settings.json"));
}

TEST_F(Unattended, StartsTheServerDetachedAndItAnswersOverHttps) {
  const int port = testing::free_port();
  auto command = args(std::to_string(port));
  command.push_back("--accept-terms");
  const Outcome run = run_firstrun(command);
  const std::string settings = (target / "data" / "deployment" / "server-settings.json").string();
  const pid_t server = firstrun_test::server_started_with(settings);
  struct Stop {
    pid_t pid;
    ~Stop() {
      if (pid > 0) kill(pid, SIGTERM);
    }
  } stop{server};

  ASSERT_EQ(run.status, 0) << run.error;
  ASSERT_GT(server, 0) << "no server process runs with " << settings;
  std::string output;
  for (const std::string& line : run.lines) output += line + "\n";
  EXPECT_NE(output.find("Server: running"), std::string::npos) << output;
  EXPECT_NE(output.find("Dashboard: https://localhost:" + std::to_string(port)), std::string::npos) << output;
  EXPECT_EQ(firstrun_test::mode_of(target / "data" / "logs" / "server.log"), 0600u);

  // Still running after setup ended, and it serves the dashboard.
  const fs::path ca = target / "data" / "deployment" / "ca.cer";
  const auto reply = testing::https_exchange(
      port, testing::raw_request("GET", "/api/version", {{"Host", "localhost:" + std::to_string(port)}}), ca,
      "localhost");
  EXPECT_EQ(reply.status, 200);
}

}  // namespace
}  // namespace halvenor::firstrun
