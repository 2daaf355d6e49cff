// The agent's windows on a virtual X display: a ticker strip and a
// full-screen critical alert, each screenshotted into tests/artifacts/agent/
// and acknowledged by pressing its Acknowledge button through the test
// script seam (HALVENOR_AGENT_TEST_SCRIPT). Skipped without Xvfb.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <fstream>
#include <thread>

#include "agent/alert_window.h"
#include "agent/child_program.h"
#include "tests/agent/agent_process_support.h"
#include "tests/support/scoped_environment.h"

// The windows drawn in this process take their fonts from the system
// fontconfig, whose cache is never freed by design; under LeakSanitizer that
// is not a leak of the agent. (The agent run as a child gets the same
// suppression through LSAN_OPTIONS.)
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace halvenor::testing {
namespace {

namespace fs = std::filesystem;
using test_support::ScopedEnvironment;

// The colour of one pixel of a PNG, as ImageMagick prints it ("srgb(r,g,b)").
std::string pixel(const fs::path& png, int x, int y) {
  auto convert = agent::find_program("convert");
  if (!convert) return "<no convert>";
  auto result = agent::run_program(
      {*convert, png.string(), "-format", "%[pixel:p{" + std::to_string(x) + "," + std::to_string(y) + "}]", "info:"},
      30);
  return result.output;
}

class AlertWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto xvfb = agent::find_program("Xvfb");
    if (!xvfb || !agent::find_program("xwd") || !agent::find_program("convert"))
      GTEST_SKIP() << "Xvfb, xwd or convert is not installed";
    // -displayfd picks a free display and prints its number.
    xvfb_ = std::make_unique<ChildProcess>(
        std::vector<std::string>{*xvfb, "-displayfd", "1", "-screen", "0", "1280x800x24", "-nolisten", "tcp"});
    auto number = xvfb_->read_line();
    ASSERT_TRUE(number) << xvfb_->error_text();
    display_ = ":" + *number;
    artefacts_ = fs::path(HALVENOR_SOURCE_DIR) / "tests" / "artifacts" / "agent";
    fs::create_directories(artefacts_);
  }

  void TearDown() override {
    if (xvfb_) {
      xvfb_->send_signal(SIGTERM);
      xvfb_->wait_exit();
    }
  }

  std::unique_ptr<ChildProcess> xvfb_;
  std::string display_;
  fs::path artefacts_;
  TempFolder folder_;
};

TEST_F(AlertWindowTest, TickerAndCriticalAlertAreShownAndAcknowledgedByTheButton) {
  LocalAuthority pki = issue_localhost_certificate(folder_);
  TlsServer server(folder_, agent_test_config(false), pki);
  server.start();

  // Screenshot once the window is up, then press Acknowledge as a person would.
  const fs::path script = folder_.write("press-acknowledge.tcl", R"TCL(
proc ::halvenor::on_shown {id kind w} {
  after 300 [list ::halvenor_test::capture $id $kind $w]
}
namespace eval ::halvenor_test {}
proc ::halvenor_test::capture {id kind w} {
  update
  set png [file join $::env(HALVENOR_TEST_ARTEFACTS) $kind.png]
  exec sh -c {xwd -root -display "$DISPLAY" | convert xwd:- png:"$1"} sh $png
  $w.ack invoke
}
)TCL");
  ScopedEnvironment display("DISPLAY", display_);
  ScopedEnvironment seam(agent::kTestScriptVariable, script.string());
  ScopedEnvironment target("HALVENOR_TEST_ARTEFACTS", artefacts_.string());
  // Under the sanitizers: the system fontconfig's font cache is never freed
  // by design; that is not a leak of the agent.
  const fs::path suppressions = folder_.path() / "lsan.supp";
  std::ofstream(suppressions) << "leak:libfontconfig.so\n";
  ScopedEnvironment leaks("LSAN_OPTIONS", "suppressions=" + suppressions.string());
  for (const char* kind : {"ticker", "critical"}) fs::remove(artefacts_ / (std::string(kind) + ".png"));

  const AgentSetup setup{"pc-1", kWardPcToken, true, pki.ca_pem, pki.fingerprint};
  AgentProcess agent(folder_, "ward", server.url(), setup);
  std::vector<std::string> argv{agent_program().string(), "--settings", agent.settings_file().string(),
                                "--state-dir", agent.state_folder().string(), "--poll-interval", "1"};
  ChildProcess window(argv);

  const Json ticker = {{"test", true},      {"title", "Car park closed"}, {"body", "Use the north entrance today"},
                       {"severity", "ticker"}, {"ttl_minutes", 30},        {"channels", {"desktop"}},
                       {"sites", {"North"}}};
  const std::string ticker_id = server.create_alert(ticker, "window-ticker-1");
  ASSERT_TRUE(eventually([&] { return server.display_status(ticker_id, "pc-1") == "acknowledged"; }))
      << window.error_text();

  Json critical = ticker;
  critical["severity"] = "critical";
  // Tcl syntax in an alert stays text: were it evaluated, the folder would appear.
  const fs::path evaluated = folder_.path() / "evaluated";
  critical["title"] = "Fire in block C [file mkdir " + evaluated.string() + "] $env(HOME) {";
  critical["body"] = "Evacuate block C now by the nearest exit.";
  const std::string critical_id = server.create_alert(critical, "window-critical-1");
  ASSERT_TRUE(eventually([&] { return server.display_status(critical_id, "pc-1") == "acknowledged"; }))
      << window.error_text();

  // The ticker is an orange strip along the top over an empty screen; the
  // critical alert fills the screen in red.
  EXPECT_EQ(pixel(artefacts_ / "ticker.png", 640, 28), "srgb(230,81,0)");
  EXPECT_EQ(pixel(artefacts_ / "ticker.png", 640, 400), "srgb(0,0,0)");
  EXPECT_EQ(pixel(artefacts_ / "critical.png", 640, 760), "srgb(176,0,32)");
  EXPECT_FALSE(fs::exists(evaluated));
  EXPECT_EQ(server.audit_events("pc-1", critical_id),
            (std::vector<std::string>{"desktop.received", "desktop.displayed", "desktop.acknowledged"}));

  window.send_signal(SIGTERM);
  EXPECT_EQ(window.wait_exit(), 0) << window.error_text();
}

// Driven in-process: a withdrawn alert says so, and a strip says when alerts
// cannot arrive.
TEST_F(AlertWindowTest, WithdrawalsAndSilenceAreSaidOnScreen) {
  const fs::path report = folder_.path() / "report.txt";
  const fs::path script = folder_.write("inspect.tcl", R"TCL(
namespace eval ::halvenor_test {}
proc ::halvenor_test::inspect {} {
  set out [open $::env(HALVENOR_TEST_REPORT) w]
  if {[catch {
    update
    exec sh -c {xwd -root -display "$DISPLAY" | convert xwd:- png:"$1"} sh $::env(HALVENOR_TEST_SHOT)
    puts $out "ticker text [[lindex $::halvenor::tickers 0].text cget -text]"
    puts $out "silence [.reach.text cget -text]"
  } problem]} { puts $out "failed: $problem" }
  close $out
}
# The queued windows are up within a few timer rounds; the retracted ticker
# stays for five seconds.
after 1500 ::halvenor_test::inspect
)TCL");
  ScopedEnvironment display("DISPLAY", display_);
  ScopedEnvironment seam(agent::kTestScriptVariable, script.string());
  ScopedEnvironment target("HALVENOR_TEST_REPORT", report.string());
  const fs::path shot = artefacts_ / "ticker-beneath-critical.png";
  ScopedEnvironment screenshot("HALVENOR_TEST_SHOT", shot.string());
  agent::AlertWindow window;
  agent::AlertView ticker;
  ticker.id = "t1";
  ticker.title = "Car park closed";
  ticker.body = "Use the north entrance";
  agent::AlertView critical = ticker;
  critical.id = "c1";
  critical.kind = agent::AlertKind::Critical;
  window.show(critical);
  window.show(ticker);  // arriving while the critical alert is up
  window.reachability(false, 0);
  window.retract("t1", "Cancelled");
  std::thread stopper([&] {
    for (int i = 0; i < 100 && !fs::exists(report); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    window.quit();
  });
  window.run();
  stopper.join();
  // Tk keeps its display connection until the process ends, and any later
  // Tcl event loop in this process polls it: the X server must outlive it.
  static std::unique_ptr<ChildProcess> drawn_on;
  drawn_on = std::move(xvfb_);

  std::ifstream in(report);
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // Whether a ticker stays beneath the critical alert's band needs a window
  // manager to honour "topmost", which Xvfb alone has not; the screenshot is
  // kept for a person to look at.
  EXPECT_NE(text.find("ticker text Cancelled  -  the alert service has withdrawn this alert."), std::string::npos)
      << text;
  EXPECT_NE(text.find("silence Alerts cannot reach this computer: the alert service is not answering."),
            std::string::npos)
      << text;
}

}  // namespace
}  // namespace halvenor::testing
