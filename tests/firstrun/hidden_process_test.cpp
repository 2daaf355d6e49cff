// The hidden child-process runner: captured output, exit statuses named in
// the error, the environment it passes, and the time-out that kills.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/hidden_process.h"
#include "tests/firstrun/firstrun_test_support.h"

namespace halvenor::platform {
namespace {

using firstrun_test::message_of;
using namespace std::chrono_literals;

TEST(HiddenProcess, CapturesBothStreamsSeparately) {
  const ProcessOutput out = run_hidden({"sh", "-c", "printf 'to out'; printf 'to err' >&2"}, 10s);
  EXPECT_EQ(out.output, "to out");
  EXPECT_EQ(out.error, "to err");
  // Standard input is empty, never the caller's terminal.
  EXPECT_EQ(run_hidden({"sh", "-c", "cat; echo done"}, 10s).output, "done\n");
}

TEST(HiddenProcess, LargeOutputDoesNotBlockAndIsBounded) {
  const ProcessOutput out = run_hidden({"sh", "-c", "head -c 1000000 /dev/zero"}, 20s);
  EXPECT_EQ(out.output.size(), kMaxCapturedBytes);
}

TEST(HiddenProcess, NonZeroExitNamesCommandStatusAndComplaint) {
  const std::string message = message_of([] { run_hidden({"sh", "-c", "echo 'disk full' >&2; exit 3"}, 10s); });
  EXPECT_NE(message.find("sh"), std::string::npos) << message;
  EXPECT_NE(message.find("exit status 3"), std::string::npos) << message;
  EXPECT_NE(message.find("disk full"), std::string::npos) << message;
  EXPECT_THROW(run_hidden({"false"}, 10s), ProcessError);
  const std::string missing = message_of([] { run_hidden({"no-such-tool-here"}, 10s); });
  EXPECT_NE(missing.find("no-such-tool-here"), std::string::npos) << missing;
}

TEST(HiddenProcess, TimeOutKillsTheChildAndWhatItStarted) {
  const auto start = std::chrono::steady_clock::now();
  // The grandchild keeps the output pipe open; the time-out must not wait for it.
  const std::string message = message_of([] { run_hidden({"sh", "-c", "sleep 31.7 & sleep 31.7"}, 500ms); });
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_NE(message.find("did not finish"), std::string::npos) << message;
  EXPECT_NE(message.find("sh"), std::string::npos) << message;
  EXPECT_LT(took, 10s);
  // Nothing of that process group is left running.
  EXPECT_EQ(run_hidden({"sh", "-c", "pgrep -f '^sleep 31.7$' | wc -l"}, 10s).output, "0\n");
}

TEST(HiddenProcess, ExtraEnvironmentReachesTheChild) {
  const ProcessOutput out =
      run_hidden({"sh", "-c", "printf '%s|%s' \"$HALVENOR_A\" \"$HOME\""}, 10s, {{"HALVENOR_A", "one"}, {"HOME", "/x"}});
  EXPECT_EQ(out.output, "one|/x");
}

}  // namespace
}  // namespace halvenor::platform
