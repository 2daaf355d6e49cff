// The first-install window: its decisions without a display, its Tcl layer
// without Tk, and the whole window driven on a virtual X display.
#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <stdexcept>
#include <thread>

#include "firstrun/legal_terms.h"
#include "firstrun/window_identity.h"
#include "firstrun/wizard_events.h"
#include "firstrun/wizard_layout.h"
#include "firstrun/wizard_navigation.h"
#include "firstrun/wizard_texts.h"
#include "firstrun/wizard_workers.h"
#include "tests/firstrun/wizard_display.h"
#include "tests/process/process_support.h"
#include "tests/support/temp_folder.h"
#include "tk/tcl_interpreter.h"

namespace halvenor::firstrun {
namespace {

namespace fs = std::filesystem;

TEST(WizardLayoutTest, WindowFitsTheScreen) {
  WindowGeometry g = window_geometry(1024, 768);
  EXPECT_EQ(g.width, 850);
  EXPECT_EQ(g.height, 668);
  EXPECT_EQ(g.x, 87);
  EXPECT_EQ(g.y, 20);
  EXPECT_EQ(g.min_width, 620);
  EXPECT_EQ(g.min_height, 460);

  WindowGeometry large = window_geometry(1920, 1080);
  EXPECT_EQ(large.width, 850);
  EXPECT_EQ(large.height, 720);
  EXPECT_EQ(large.x, 535);
  EXPECT_EQ(large.y, 150);

  // Smaller than the window's floor: it stays at the top left corner and
  // the minimum size never exceeds the window itself.
  WindowGeometry tiny = window_geometry(300, 240);
  EXPECT_EQ(tiny.width, 380);
  EXPECT_EQ(tiny.height, 320);
  EXPECT_EQ(tiny.x, 0);
  EXPECT_EQ(tiny.y, 0);
  EXPECT_EQ(tiny.min_width, 380);
  EXPECT_EQ(tiny.min_height, 320);

  // Odd margins round down.
  WindowGeometry odd = window_geometry(901, 801);
  EXPECT_EQ(odd.width, 841);
  EXPECT_EQ(odd.x, 30);
  EXPECT_EQ(odd.height, 701);
  EXPECT_EQ(odd.y, 20);
}

TEST(WizardLayoutTest, WrapAndWheel) {
  EXPECT_EQ(wrap_width(800), 755);
  EXPECT_EQ(wrap_width(285), 240);
  EXPECT_EQ(wrap_width(0), 240);
  EXPECT_EQ(wheel_lines(120), -1);
  EXPECT_EQ(wheel_lines(-360), 3);
  EXPECT_EQ(wheel_lines(119), 0);
  EXPECT_EQ(wheel_lines(-239), 1);
}

TEST(WizardTextsTest, StepTitles) {
  EXPECT_EQ(step_title(0), "Step 1 of 4 — Server settings");
  EXPECT_EQ(step_title(2), "Step 3 of 4 — Agreement and options");
  EXPECT_EQ(step_title(3), "Step 4 of 4 — Review and install");
  EXPECT_NE(step_name(1).find("Administrator"), std::string::npos);
  EXPECT_THROW(step_title(4), std::out_of_range);
  EXPECT_THROW(step_title(-1), std::out_of_range);
}

TEST(WizardTextsTest, ReviewShowsTheTypedChoices) {
  ReviewInput input;
  input.values = {{"folder", " /srv/halvenor "}, {"hostname", "alerts.example"}, {"bind", "0.0.0.0"},
                  {"port", "8765"}, {"account", "Administrator"}, {"name", "Ada Admin"}};
  input.desktop = true;
  input.browser_trust = true;
  input.trust_scope_text = kScopeAllUsers;
  input.agreed = true;
  EXPECT_EQ(review_text(input),
            "Check your installation choices\n\n"
            "Folder:  /srv/halvenor \n"
            "Server: alerts.example:8765\n"
            "Listen on: 0.0.0.0\n"
            "Administrator: Administrator (Ada Admin)\n"
            "Desktop shortcuts: Yes\n"
            "Certificate trust: All users on this PC — administrator required\n"
            "Licence agreement: Agreed\n\n"
            "Desktop live alerts: enabled. SMS/WhatsApp: disabled until IT configuration and tests.");

  input.desktop = false;
  input.browser_trust = false;
  input.agreed = false;
  input.values.erase("port");
  std::string review = review_text(input);
  EXPECT_NE(review.find("\nServer: alerts.example:\n"), std::string::npos);
  EXPECT_NE(review.find("\nDesktop shortcuts: No\n"), std::string::npos);
  EXPECT_NE(review.find("\nCertificate trust: Not installed\n"), std::string::npos);
  EXPECT_NE(review.find("\nLicence agreement: Not agreed\n"), std::string::npos);
}

TEST(WizardTextsTest, TrustScopeAndConfirmation) {
  EXPECT_EQ(trust_scope(false, kScopeAllUsers), std::nullopt);
  EXPECT_EQ(trust_scope(true, kScopeAllUsers), "machine");
  EXPECT_EQ(trust_scope(true, kScopeCurrentUser), "user");
  EXPECT_EQ(trust_scope(true, "users, all"), "user");

  Json plan = {{"folder", "/srv/halvenor"}, {"hostname", "alerts.example"}, {"bind", "0.0.0.0"},
               {"port", 8443},          {"account", "ops-admin"},        {"name", "Ops"}};
  EXPECT_EQ(confirmation_text(plan, std::string(kScopeCurrentUser)),
            "Install into /srv/halvenor?\nServer: alerts.example:8443\nAdministrator: ops-admin\n"
            "Live desktop: enabled by default\nBrowser trust on this PC: Current user\n\n"
            "Setup will trust the newly generated local CA as selected, start the server, open the Dashboard and "
            "open your private Administrator credential file.");
  EXPECT_NE(confirmation_text(plan, std::nullopt).find("\nBrowser trust on this PC: not installed\n"),
            std::string::npos);
}

TEST(WizardTextsTest, FinalStatusNamesTrustWarningAndNotes) {
  Json result = {{"url", "https://alerts.example:8765/"},
                 {"browser_trust_scope", "machine"},
                 {"_browser_trust_installed", true}};
  EXPECT_EQ(finished_status(result, "", {"Dashboard opened.", "Credential file opened."}),
            "Installation successful. Server running.\nDashboard: https://alerts.example:8765/\n"
            "Local CA trust installed for all users on this PC.\n"
            "Dashboard opened.\nCredential file opened.\nFinish closes setup; the server stays running.");

  result["browser_trust_scope"] = "user";
  EXPECT_EQ(trust_line(result), "Local CA trust installed for the current user.");

  // Trust asked for but not done, and trust not asked for, read the same.
  result["_browser_trust_installed"] = false;
  EXPECT_EQ(trust_line(result), "Browser certificate trust may still need IT attention.");
  Json untrusted = {{"url", "https://h:1/"}, {"browser_trust_scope", nullptr}};
  std::string status = finished_status(untrusted, kShortcutWarning, {});
  EXPECT_NE(status.find("Browser certificate trust may still need IT attention.\n Desktop shortcuts could not be "
                        "created; use Start-Emergency-Comms.sh and the displayed URL.\nFinish closes setup"),
            std::string::npos)
      << status;
}

TEST(WizardTextsTest, StartupErrorStatus) {
  EXPECT_EQ(startup_error_status("The server did not answer within 60 seconds.", ""),
            "Application installed; automatic startup needs attention.\nThe server did not answer within 60 seconds.");
  EXPECT_EQ(startup_error_status("No answer.", kShortcutWarning),
            std::string("Application installed; automatic startup needs attention.\nNo answer.") + kShortcutWarning);
}

TEST(WizardNavigationTest, ButtonsFollowStepBusyAgreementAndResult) {
  NavigationState first = navigation_state(0, false, false, false);
  EXPECT_TRUE(first.show_next && first.next_enabled);
  EXPECT_FALSE(first.show_back || first.show_create);
  EXPECT_EQ(first.cancel_enabled, true);

  NavigationState middle = navigation_state(2, false, false, false);
  EXPECT_TRUE(middle.show_next && middle.show_back && middle.back_enabled);
  EXPECT_FALSE(middle.show_create);

  NavigationState last_unagreed = navigation_state(3, false, false, false);
  EXPECT_TRUE(last_unagreed.show_create && last_unagreed.show_back);
  EXPECT_FALSE(last_unagreed.create_enabled || last_unagreed.show_next);
  EXPECT_TRUE(navigation_state(3, false, true, false).create_enabled);

  NavigationState installing = navigation_state(3, true, true, false);
  EXPECT_TRUE(installing.show_create && installing.show_back);
  EXPECT_FALSE(installing.create_enabled || installing.back_enabled);
  EXPECT_EQ(installing.cancel_enabled, false);

  NavigationState installed = navigation_state(3, true, true, true);
  EXPECT_FALSE(installed.show_back || installed.show_next || installed.show_create);
  EXPECT_EQ(installed.cancel_enabled, std::nullopt);

  EXPECT_TRUE(next_key_acts(2, false));
  EXPECT_FALSE(next_key_acts(3, false));
  EXPECT_FALSE(next_key_acts(0, true));
  EXPECT_TRUE(back_key_acts(1, false));
  EXPECT_FALSE(back_key_acts(0, false));
  EXPECT_FALSE(back_key_acts(2, true));
}

TEST(WizardEventsTest, QueueKeepsEachThreadsOrderAndDrainsCompletely) {
  EventQueue queue;
  constexpr int kThreads = 4;
  constexpr int kEach = 500;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&queue, t] {
      for (int i = 0; i < kEach; ++i)
        queue.post({WizardEvent::Kind::progress, std::to_string(t) + ":" + std::to_string(i), {}, {}, {}});
    });
  std::vector<int> next(kThreads, 0);
  int seen = 0;
  while (seen < kThreads * kEach) {
    for (const auto& event : queue.take_all()) {
      auto colon = event.text.find(':');
      int t = std::stoi(event.text.substr(0, colon));
      EXPECT_EQ(std::stoi(event.text.substr(colon + 1)), next[t]++);
      ++seen;
    }
  }
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(queue.take_all().empty());
}

TEST(WizardWorkersTest, InstallationJobReportsResultWarningOrError) {
  std::vector<std::string> calls;
  InstallSteps steps{[&](const Json& values, const fs::path& source) {
                       calls.push_back("install " + values["folder"].get<std::string>() + " " + source.string());
                       return Json{{"folder", "/x"}, {"url", "https://h:1/"}, {"warning", "Port is busy."}};
                     },
                     [&](const Json& result) {
                       calls.push_back("shortcuts " + result["folder"].get<std::string>());
                       throw std::runtime_error("no desktop");
                     }};
  EventQueue queue;
  installation_job({{"folder", "/x"}}, std::string("machine"), true, "/src", steps, queue);
  auto events = queue.take_all();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, WizardEvent::Kind::installed);
  EXPECT_EQ(events[0].result["browser_trust_scope"], "machine");
  EXPECT_EQ(events[0].warning, std::string("Port is busy.") + kShortcutWarning);
  EXPECT_EQ(calls, (std::vector<std::string>{"install /x /src", "shortcuts /x"}));

  calls.clear();
  installation_job({{"folder", "/x"}}, std::nullopt, false, "/src", steps, queue);
  events = queue.take_all();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_TRUE(events[0].result["browser_trust_scope"].is_null());
  EXPECT_EQ(events[0].warning, "Port is busy.");
  EXPECT_EQ(calls.size(), 1u);  // no shortcuts asked for

  steps.install = [](const Json&, const fs::path&) -> Json { throw std::runtime_error("Disk full."); };
  installation_job({{"folder", "/x"}}, std::nullopt, true, "/src", steps, queue);
  events = queue.take_all();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, WizardEvent::Kind::error);
  EXPECT_EQ(events[0].text, "Disk full.");
}

TEST(WizardWorkersTest, FinishingJobForwardsProgressAndTheUpdatedResult) {
  EventQueue queue;
  finishing_job({{"url", "https://h:1/"}},
                [](Json& result, const std::function<void(const std::string&)>& progress) {
                  progress("Starting the server…");
                  result["_browser_trust_installed"] = true;
                  return std::vector<std::string>{"Dashboard opened."};
                },
                queue);
  auto events = queue.take_all();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].kind, WizardEvent::Kind::progress);
  EXPECT_EQ(events[0].text, "Starting the server…");
  EXPECT_EQ(events[1].kind, WizardEvent::Kind::finished);
  EXPECT_EQ(events[1].result["_browser_trust_installed"], true);
  EXPECT_EQ(events[1].notes, std::vector<std::string>{"Dashboard opened."});

  finishing_job({{"url", "https://h:1/"}},
                [](Json& result, const std::function<void(const std::string&)>&) -> std::vector<std::string> {
                  result["_browser_trust_installed"] = true;
                  throw std::runtime_error("The server did not answer.");
                },
                queue);
  events = queue.take_all();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, WizardEvent::Kind::startup_error);
  EXPECT_EQ(events[0].text, "The server did not answer.");
  EXPECT_EQ(events[0].result["_browser_trust_installed"], true);
}

TEST(WizardWorkersTest, DetachedJobOutlivesItsStarter) {
  std::atomic<bool> done{false};
  auto queue = std::make_shared<EventQueue>();
  start_detached(queue, [&done](EventQueue& events) {
    events.post({WizardEvent::Kind::progress, "ran", {}, {}, {}});
    done = true;
  });
  for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(done);
  auto events = queue->take_all();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].text, "ran");
}

TEST(WindowIdentityTest, IconPrefersTheRoleThenAnyPng) {
  test_support::TempFolder assets;
  EXPECT_TRUE(icon_file("server", assets.path()).empty());
  EXPECT_TRUE(icon_file("server", assets.path() / "missing").empty());
  std::ofstream(assets.path() / "notes.txt") << "x";
  std::ofstream(assets.path() / "zeta.png") << "x";
  std::ofstream(assets.path() / "halvenor-communications-dashboard.png") << "x";
  EXPECT_EQ(icon_file("server", assets.path()), assets.path() / "halvenor-communications-dashboard.png");
  std::ofstream(assets.path() / "halvenor-communications-server.png") << "x";
  EXPECT_EQ(icon_file("server", assets.path()), assets.path() / "halvenor-communications-server.png");

  process_identity("ServerSetup");
  EXPECT_EQ(current_identity(), "ServerSetup");
}

// The whole window on a virtual screen: the four steps walked with Alt+N and
// Alt+B, a refused step, the agreement gate, the installation into a fresh
// folder and the final buttons. Screenshots of each step are kept in
// tests/artifacts/wizard/ for a person to look at.
class WizardOnDisplay {
 public:
  WizardOnDisplay()
      : display_(1024, 768, work_.path() / "xvfb.log"),
        driver_(work_.path() / "driver"),
        install_folder_(work_.path() / "install"),
        artifacts_(fs::path(HALVENOR_SOURCE_DIR) / "tests" / "artifacts" / "wizard") {
    fs::create_directories(work_.path() / "home");
    // Under the sanitizers: the font cache of the system's fontconfig is
    // never freed by design; that is not a leak of this program.
    const fs::path suppressions = work_.path() / "lsan.supp";
    std::ofstream(suppressions) << "leak:libfontconfig.so\n";
    window_.emplace(std::vector<std::string>{std::string(HALVENOR_DIST_DIR) + "/firstrun"},
                    std::vector<std::string>{"DISPLAY=" + display_.name(), "HALVENOR_WIZARD_AUTO_CONFIRM=yes",
                                             "HALVENOR_WIZARD_SCRIPT=" + driver_.script().string(),
                                             "HALVENOR_WIZARD_OPEN_WINDOWS=0", "HOME=" + (work_.path() / "home").string(),
                                             "LSAN_OPTIONS=suppressions=" + suppressions.string()},
                    log());
  }
  ~WizardOnDisplay() {
    window_.reset();
    // The server the finisher started outlives the window by design.
    testing::stop_processes_under(install_folder_);
  }

  std::string tcl(const std::string& script, std::chrono::seconds timeout = std::chrono::seconds(30)) {
    return driver_.run(script, timeout);
  }
  std::string var(const std::string& name) { return tcl("set " + name); }
  void alt(char key) { tcl(std::string("::wizard_test::alt ") + key); }
  // The last automatic dialog as {title, message}; empty when none was shown.
  std::vector<std::string> last_dialog() {
    auto dialogs = tk::split_list(var("::wizard::dialogs"));
    return dialogs.empty() ? std::vector<std::string>{} : tk::split_list(dialogs.back());
  }
  // Saves the screen and returns how many colours the header shows.
  int screenshot(const std::string& name) {
    fs::path png = artifacts_ / name;
    display_.screenshot(png);
    auto box = tk::split_list(tcl("update; list [winfo rootx .header] [winfo rooty .header] [winfo width .header] "
                              "[winfo height .header]"));
    return testing::colours_in(png, std::stoi(box[0]), std::stoi(box[1]), std::stoi(box[2]), std::stoi(box[3]));
  }
  std::optional<int> wait_exit() { return window_->wait_exit(std::chrono::seconds(30)); }
  fs::path log() const { return work_.path() / "firstrun.log"; }
  std::string log_text() const {
    std::ifstream in(log());
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  const fs::path& install_folder() const { return install_folder_; }

 private:
  test_support::TempFolder work_;
  testing::XvfbDisplay display_;
  testing::WizardDriver driver_;
  fs::path install_folder_;
  fs::path artifacts_;
  std::optional<testing::GuiProcess> window_;
};

std::string entry_path(int page, const std::string& key) {
  return ".area.canvas.content.page" + std::to_string(page) + ".row_" + key + ".entry";
}

TEST(WizardDisplayTest, WalksTheStepsInstallsAndFinishes) {
  if (!testing::XvfbDisplay::program()) GTEST_SKIP() << "Xvfb is not installed";
  WizardOnDisplay w;
  const std::string page0 = ".area.canvas.content.page0";
  const std::string page2 = ".area.canvas.content.page2";

  // Step 1: the window as placed on a 1024 x 768 screen.
  ASSERT_EQ(w.tcl("update; wm title .", std::chrono::seconds(60)), kWindowTitle);
  EXPECT_EQ(w.tcl("wm geometry ."), "850x668+87+20");
  EXPECT_EQ(w.tcl("wm minsize ."), "620 460");
  EXPECT_EQ(w.tcl("winfo class ."), "ServerSetup");
  EXPECT_EQ(w.tcl(".header.title cget -text"), kHeaderText);
  EXPECT_EQ(w.var("::wizard::step_title"), "Step 1 of 4 — Server settings");
  EXPECT_EQ(w.var("::wizard::status"), kInitialStatus);
  EXPECT_EQ(w.tcl("pack slaves .footer.nav"), ".footer.nav.cancel .footer.nav.next");
  EXPECT_EQ(w.tcl(".footer.nav.next cget -text"), "Next →");
  EXPECT_EQ(w.tcl("focus"), entry_path(0, "folder"));
  EXPECT_EQ(w.tcl("update; winfo ismapped " + page0 + ".advanced"), "0");
  EXPECT_EQ(w.tcl(page0 + ".advanced_check invoke; update; winfo ismapped " + page0 + ".advanced"), "1");

  const int port = testing::free_port();
  w.tcl("set ::wizard::value(folder) " + tk::quote(w.install_folder().string()) +
        "; set ::wizard::value(hostname) 127.0.0.1; set ::wizard::value(bind) 127.0.0.1"
        "; set ::wizard::value(port) 70000");
  w.alt('n');
  EXPECT_EQ(w.last_dialog(), (std::vector<std::string>{"Check this step", "HTTPS port must be 1–65535."}));
  EXPECT_EQ(w.var("::wizard::step"), "0");
  w.tcl("set ::wizard::value(port) " + std::to_string(port));
  EXPECT_GT(w.screenshot("step1-server-settings.png"), 2);

  // Step 2, then back and forth with the keys.
  w.alt('n');
  EXPECT_EQ(w.var("::wizard::step_title"), "Step 2 of 4 — " + step_name(1));
  EXPECT_EQ(w.tcl("focus"), entry_path(1, "account"));
  EXPECT_EQ(w.tcl("pack slaves .footer.nav"), ".footer.nav.cancel .footer.nav.next .footer.nav.back");
  EXPECT_EQ(w.tcl(".footer.nav.back cget -text"), "← Back");
  EXPECT_GT(w.screenshot("step2-administrator.png"), 2);
  w.alt('b');
  EXPECT_EQ(w.var("::wizard::step"), "0");
  w.alt('b');  // nothing before the first step
  EXPECT_EQ(w.var("::wizard::step"), "0");
  w.alt('n');
  w.alt('n');

  // Step 3: the terms must be agreed before going on.
  EXPECT_EQ(w.var("::wizard::step_title"), "Step 3 of 4 — Agreement and options");
  EXPECT_EQ(w.tcl(page2 + ".agree cget -text"), legal::kAgreementLabel);
  std::string terms = w.tcl(page2 + ".terms.text get 1.0 end");
  EXPECT_GT(terms.size(), 200u);
  EXPECT_EQ(terms.find("cannot be shown"), std::string::npos) << terms;
  w.tcl("set ::wizard::dialogs {}");
  w.alt('n');
  ASSERT_EQ(w.last_dialog().size(), 2u);
  EXPECT_EQ(w.last_dialog()[0], "Check this step");
  EXPECT_EQ(w.var("::wizard::step"), "2");
  w.tcl("set ::wizard::desktop 0; set ::wizard::browser_trust 0; " + page2 + ".agree invoke");
  EXPECT_EQ(w.var("::wizard::legal_checked"), "1");
  EXPECT_GT(w.screenshot("step3-agreement.png"), 2);

  // Step 4: review, and the Install button tied to the agreement.
  w.alt('n');
  EXPECT_EQ(w.var("::wizard::step_title"), "Step 4 of 4 — Review and install");
  EXPECT_EQ(w.tcl("pack slaves .footer.nav"), ".footer.nav.cancel .footer.nav.create .footer.nav.back");
  EXPECT_EQ(w.tcl(".footer.nav.create cget -text"), "Install");
  EXPECT_EQ(w.tcl(".footer.nav.create instate disabled"), "0");
  std::string review = w.var("::wizard::review");
  EXPECT_NE(review.find("Folder: " + w.install_folder().string() + "\n"), std::string::npos);
  EXPECT_NE(review.find("Server: 127.0.0.1:" + std::to_string(port) + "\n"), std::string::npos);
  EXPECT_NE(review.find("Desktop shortcuts: No\nCertificate trust: Not installed\nLicence agreement: Agreed"),
            std::string::npos)
      << review;
  w.alt('n');  // nothing after the last step
  EXPECT_EQ(w.var("::wizard::step"), "3");
  EXPECT_EQ(w.tcl("set ::wizard::legal_checked 0; .footer.nav.create instate disabled"), "1");
  EXPECT_EQ(w.tcl("set ::wizard::legal_checked 1; .footer.nav.create instate disabled"), "0");
  EXPECT_GT(w.screenshot("step4-review.png"), 2);

  // Data that appeared after step 1 was left is caught when Install is pressed.
  fs::create_directories(w.install_folder() / "data");
  w.tcl(".footer.nav.create invoke");
  EXPECT_EQ(w.last_dialog(),
            (std::vector<std::string>{"Check setup details",
                                      "This location already has data or certificates. Choose a clean folder. "
                                      "Existing installations must use the update process."}));
  EXPECT_EQ(w.var("::wizard::busy"), "0");
  fs::remove(w.install_folder() / "data");

  // Answering No to the confirmation changes nothing.
  w.tcl("set ::wizard::auto_answer no; .footer.nav.create invoke; set ::wizard::auto_answer yes");
  ASSERT_EQ(w.last_dialog().size(), 2u);
  EXPECT_EQ(w.last_dialog()[0], "Confirm fresh installation");
  EXPECT_EQ(w.var("::wizard::busy"), "0");
  EXPECT_EQ(w.var("::wizard::status"), kInitialStatus);
  EXPECT_EQ(w.tcl(".footer.nav.create instate disabled"), "0");
  EXPECT_FALSE(fs::exists(w.install_folder() / "data"));

  // Install: confirmed automatically; the window refuses to close meanwhile.
  // One command, so that no tick runs between the checks.
  auto state = tk::split_list(w.tcl(
      ".footer.nav.create invoke\n"
      "set confirm [lindex $::wizard::dialogs end]\n"
      "::wizard::close\n"
      "list $confirm [lindex $::wizard::dialogs end] $::wizard::busy $::wizard::status "
      "[.footer.nav.cancel instate disabled] [.footer.nav.back instate disabled] [winfo exists .]"));
  ASSERT_EQ(state.size(), 7u);
  auto confirm = tk::split_list(state[0]);
  ASSERT_EQ(confirm.size(), 2u);
  EXPECT_EQ(confirm[0], "Confirm fresh installation");
  EXPECT_EQ(confirm[1].rfind("Install into " + w.install_folder().string() + "?\nServer: 127.0.0.1:", 0), 0u)
      << confirm[1];
  EXPECT_EQ(tk::split_list(state[1]), (std::vector<std::string>{"Setup in progress",
                                                            "Please wait for setup to finish before closing this "
                                                            "window."}));
  EXPECT_EQ(state[2], "1");
  EXPECT_EQ(state[3], kInstallingStatus);
  EXPECT_EQ(state[4], "1");
  EXPECT_EQ(state[5], "1");
  EXPECT_EQ(state[6], "1");

  // The installation and the start of the server run on the workers.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(4);
  while (w.tcl("winfo exists .footer.done.finish") != "1") {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << w.var("::wizard::status");
    ASSERT_FALSE(w.var("::wizard::busy") == "0" && w.tcl("winfo exists .footer.done.finish") != "1")
        << "stopped without the final buttons: " << w.var("::wizard::status");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
  }
  std::string status = w.var("::wizard::status");
  EXPECT_EQ(status.rfind("Installation successful. Server running.\nDashboard: https://127.0.0.1:" +
                             std::to_string(port),
                         0),
            0u)
      << status;
  EXPECT_NE(status.find("\nBrowser certificate trust may still need IT attention.\n"), std::string::npos) << status;
  EXPECT_EQ(w.tcl("pack slaves .footer.nav"), "");
  EXPECT_EQ(w.tcl("winfo exists .footer.done.retry"), "0");
  EXPECT_EQ(w.tcl("list [.footer.done.dashboard cget -text] [.footer.done.credentials cget -text] "
                  "[.footer.done.finish cget -text]"),
            "{Open Dashboard} {Open Administrator credential file} Finish");
  EXPECT_GT(w.screenshot("step5-finished.png"), 2);

  // A smaller window re-wraps the header, the status and the page texts.
  auto wraps = tk::split_list(w.tcl("wm geometry . 700x520; update; list [winfo width .area.canvas] "
                                "[.header.title cget -wraplength] [.status cget -wraplength] "
                                "[.area.canvas.content.page3.note cget -wraplength]"));
  ASSERT_EQ(wraps.size(), 4u);
  const int canvas_width = std::stoi(wraps[0]);
  EXPECT_LT(canvas_width, 700);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(std::stoi(wraps[i]), wrap_width(canvas_width)) << i;

  w.tcl("after 100 {.footer.done.finish invoke}");
  EXPECT_EQ(w.wait_exit(), 0) << w.log_text();
  // Finish leaves the server running.
  EXPECT_GE(testing::stop_processes_under(w.install_folder()), 1);
}

}  // namespace
}  // namespace halvenor::firstrun
