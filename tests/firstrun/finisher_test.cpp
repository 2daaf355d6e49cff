// The finishing stage against a real installation: it starts the installed
// server detached and waits for it, recognises one already running, and
// reports a server that stops during start-up with its log.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "firstrun/finisher.h"
#include "firstrun/installation.h"
#include "firstrun/legal_terms.h"
#include "tests/firstrun/firstrun_test_support.h"
#include "tests/process/process_support.h"
#include "tests/support/temp_folder.h"

namespace halvenor::firstrun {
namespace {

namespace fs = std::filesystem;
using firstrun_test::message_of;

class Finisher : public ::testing::Test {
 protected:
  void SetUp() override {
    base = fs::weakly_canonical(temp.path());
    const fs::path source = firstrun_test::packaged_source(base);
    port = testing::free_port();
    Json values = firstrun_test::good_values(base / "install");
    values["port"] = std::to_string(port);
    values["legal_acceptance"] = legal::agreement(source / "docs" / "legal", true);
    result = install(values, source);
    result["browser_trust_scope"] = nullptr;
    settings = (base / "install" / "data" / "deployment" / "server-settings.json").string();
  }
  void TearDown() override {
    if (const int pid = firstrun_test::server_started_with(settings); pid > 0) kill(pid, SIGTERM);
  }
  std::vector<std::string> finish() {
    return start_and_open(result, [&](const std::string& text) { progress.push_back(text); },
                          FinishOptions{.open_windows = false});
  }

  test_support::TempFolder temp;
  fs::path base;
  int port = 0;
  Json result;
  std::string settings;
  std::vector<std::string> progress;
};

TEST_F(Finisher, StartsTheServerAndRecognisesItOnRetry) {
  EXPECT_TRUE(finish().empty());
  EXPECT_GE(progress.size(), 2u);
  EXPECT_FALSE(result.contains("_browser_trust_installed"));
  EXPECT_GT(firstrun_test::server_started_with(settings), 0);

  const std::vector<std::string> again = finish();
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(again[0], "The server was already running.");
}

TEST_F(Finisher, ServerStoppingDuringStartUpIsReportedWithItsLog) {
  // Someone else holds the port: the server cannot listen and exits.
  const int holder = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(holder, 1), 0);
  const std::string message = message_of([&] { finish(); });
  close(holder);
  EXPECT_NE(message.find("stopped during start-up"), std::string::npos) << message;
  EXPECT_NE(message.find("server.log"), std::string::npos) << message;
  // The installation is committed: the message says where the port is set
  // and how to start again.
  EXPECT_NE(message.find("\"port\": " + std::to_string(port) + ") are in " + settings), std::string::npos) << message;
  EXPECT_NE(message.find("start the server again with " + (base / "install" / "Start-Emergency-Comms.sh").string()),
            std::string::npos)
      << message;
}

}  // namespace
}  // namespace halvenor::firstrun
