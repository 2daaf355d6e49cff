// The hidden child-process runner: captured output, exit statuses named in
// the error or returned, the environment and signal mask it passes, the
// time-out that kills, and programs started detached.
#include <gtest/gtest.h>

#include <signal.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/hidden_process.h"
#include "tests/firstrun/firstrun_test_support.h"
#include "tests/support/temp_folder.h"

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

TEST(HiddenProcess, CapturedRunsReturnStatusOrSignalAndUnblockSignals) {
  const ProcessResult failed = run_captured({"sh", "-c", "printf out; printf err >&2; exit 3"}, 10s);
  EXPECT_EQ(failed.exit_status, 3);
  EXPECT_EQ(failed.output, "out");
  EXPECT_EQ(failed.error, "err");
  // A caller that blocks its stop signals (the agent's signal thread does)
  // must not pass that on: the child's own TERM ends it.
  sigset_t term, before;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, &before);
  const ProcessResult killed = run_captured({"sh", "-c", "kill -TERM $$; echo survived"}, 10s);
  pthread_sigmask(SIG_SETMASK, &before, nullptr);
  EXPECT_FALSE(killed.exit_status.has_value());
  EXPECT_EQ(killed.signal, SIGTERM);
  EXPECT_EQ(killed.output, "");
}

TEST(HiddenProcess, DetachedProgramRunsInItsOwnSessionAndFolderAppendingItsOutput) {
  test_support::TempFolder temp;
  const std::filesystem::path log = temp.path() / "out.log";
  std::ofstream(log) << "earlier\n";
  // Field 6 of /proc/PID/stat is the session: a session leader's is its own id.
  DetachedProcess child = start_detached(
      {"sh", "-c", "pwd; [ \"$(cut -d' ' -f6 /proc/$$/stat)\" = $$ ] && echo leader >&2; exit 3"},
      {log, temp.path()});
  std::optional<std::string> ended;
  for (int i = 0; i < 1000 && !(ended = child.ended()); ++i) std::this_thread::sleep_for(10ms);
  EXPECT_EQ(ended, "exit status 3");
  std::stringstream written;
  written << std::ifstream(log).rdbuf();
  EXPECT_EQ(written.str(), "earlier\n" + std::filesystem::canonical(temp.path()).string() + "\nleader\n");
  EXPECT_THROW(start_detached({"no-such-tool-here"}), ProcessError);
}

}  // namespace
}  // namespace halvenor::platform
