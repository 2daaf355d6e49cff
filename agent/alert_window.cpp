#include "agent/alert_window.h"

#include <cstdlib>
#include <filesystem>

#include "agent/agent_log.h"
#include "agent/agent_settings.h"
#include "agent/child_program.h"
#include "agent/poll_loop.h"
#include "platform/local_time.h"
#include "tk/tcl_interpreter.h"

namespace halvenor::agent {
namespace {

constexpr int kTimerMs = 100;
constexpr const char* kAlarmSounds[] = {"/usr/share/sounds/freedesktop/stereo/alarm-clock-elapsed.oga",
                                        "/usr/share/sounds/freedesktop/stereo/bell.oga"};

// Fixed procedures; alert fields arrive as arguments only.
constexpr const char* kWindowScript = R"TCL(
wm withdraw .
namespace eval ::halvenor {
  variable tickers {}
  variable criticals {}
  variable lowered
  array set lowered {}
  variable retracted
  array set retracted {}
  variable reported
  array set reported {}
}
proc ::halvenor::palette {kind standdown} {
  if {$standdown} { return #1b5e20 }
  if {$kind eq "critical"} { return #b00020 }
  return #e65100
}
proc ::halvenor::show {w id kind exercise standdown title body} {
  set bg [::halvenor::palette $kind $standdown]
  set sw [winfo screenwidth .]
  set sh [winfo screenheight .]
  toplevel $w -background $bg
  bind $w <Map> "[list ::halvenor::mapped $w $id $kind] %W"
  wm title $w "Halvenor alert"
  set mark "LIVE ALERT"
  if {$standdown} { set mark "INCIDENT CONCLUDED" }
  if {$exercise} { set mark "EXERCISE" }
  if {$kind eq "critical"} {
    wm geometry $w ${sw}x${sh}+0+0
    wm attributes $w -topmost 1 -fullscreen 1
    # Only Acknowledge takes it down; the window manager's close does nothing.
    wm protocol $w WM_DELETE_WINDOW {}
    label $w.mark -text "$mark  -  $mark  -  $mark" -font {Helvetica 30 bold} \
        -background [expr {$exercise ? "#ffeb3b" : "white"}] -foreground black
    pack $w.mark -side top -fill x
    if {$standdown && $exercise} {
      label $w.standdown -text "INCIDENT CONCLUDED" -font {Helvetica 26 bold} -background $bg -foreground white
      pack $w.standdown -side top -fill x -pady 10
    }
    label $w.title -text $title -font {Helvetica 40 bold} -background $bg -foreground white \
        -wraplength [expr {$sw - 120}] -justify center
    label $w.body -text $body -font {Helvetica 24} -background $bg -foreground white \
        -wraplength [expr {$sw - 160}] -justify center
    button $w.ack -text "Acknowledge" -font {Helvetica 26 bold} -padx 40 -pady 16 \
        -command [list ::halvenor::acknowledge $w $id]
    pack $w.title -side top -pady {60 20}
    pack $w.body -side top -pady 20
    pack $w.ack -side top -pady 40
    lappend ::halvenor::criticals $w
    ::halvenor::restack
    ::halvenor::alarm $w
  } else {
    wm overrideredirect $w 1
    wm attributes $w -topmost 1
    label $w.mark -text $mark -font {Helvetica 14 bold} -padx 10 \
        -background [expr {$exercise ? "#ffeb3b" : "white"}] -foreground black
    label $w.text -text "$title  -  $body" -font {Helvetica 14} -background $bg -foreground white \
        -anchor w -padx 12
    button $w.ack -text "Acknowledge" -font {Helvetica 12 bold} -command [list ::halvenor::acknowledge $w $id]
    pack $w.mark -side left -fill y
    pack $w.ack -side right -padx 8 -pady 6
    pack $w.text -side left -fill both -expand 1
    lappend ::halvenor::tickers $w
    ::halvenor::restack
    after 1000 [list ::halvenor::scroll $w "$title  -  $body" 0]
  }
}
# Tickers stack from the top of the screen, above everything except a
# critical alert: while one is up they go beneath it, so that its band stays
# in view.
proc ::halvenor::restack {} {
  set sw [winfo screenwidth .]
  set critical {}
  foreach c $::halvenor::criticals { if {[winfo exists $c]} { lappend critical $c } }
  set ::halvenor::criticals $critical
  set kept {}
  set row 0
  foreach t $::halvenor::tickers {
    if {![winfo exists $t]} continue
    lappend kept $t
    wm geometry $t ${sw}x56+0+[expr {$row * 60}]
    if {[llength $critical]} {
      wm attributes $t -topmost 0
      lower $t
      set ::halvenor::lowered($t) 1
    } elseif {[info exists ::halvenor::lowered($t)]} {
      unset ::halvenor::lowered($t)
      wm attributes $t -topmost 1
      raise $t
    }
    incr row
  }
  set ::halvenor::tickers $kept
  foreach c $critical { raise $c }
}
# A ticker whose text is wider than its strip scrolls it along.
proc ::halvenor::scroll {w text offset} {
  if {![winfo exists $w.text] || [info exists ::halvenor::retracted($w)]} return
  set shown [winfo width $w.text]
  if {$shown > 1 && [font measure [$w.text cget -font] $text] > $shown - 24} {
    set padded "$text          "
    set offset [expr {($offset + 1) % [string length $padded]}]
    $w.text configure -text "[string range $padded $offset end][string range $padded 0 [expr {$offset - 1}]]"
  }
  after 150 [list ::halvenor::scroll $w $text $offset]
}
proc ::halvenor::mapped {w id kind W} {
  if {$W ne $w || [info exists ::halvenor::reported($w)]} return
  set ::halvenor::reported($w) 1
  ::halvenor::report_displayed $id
  if {[info commands ::halvenor::on_shown] ne ""} { after idle [list ::halvenor::on_shown $id $kind $w] }
}
proc ::halvenor::acknowledge {w id} {
  ::halvenor::report_acknowledged $id
  ::halvenor::withdraw $w
}
proc ::halvenor::withdraw {w} {
  if {[winfo exists $w]} { destroy $w }
  array unset ::halvenor::reported $w
  array unset ::halvenor::retracted $w
  array unset ::halvenor::lowered $w
  ::halvenor::restack
}
# The server withdrew the alert: say so in place of its text for a few
# seconds, without the Acknowledge button, then take it down.
proc ::halvenor::retract {w note} {
  if {![winfo exists $w] || [info exists ::halvenor::retracted($w)]} return
  set ::halvenor::retracted($w) 1
  catch {destroy $w.ack}
  if {[winfo exists $w.title]} {
    $w.title configure -text $note
    $w.body configure -text "The alert service has withdrawn this alert."
  } else {
    $w.text configure -text "$note  -  the alert service has withdrawn this alert."
  }
  after 5000 [list ::halvenor::withdraw $w]
}
proc ::halvenor::reachability {reachable since} {
  set w .reach
  if {$reachable} {
    if {[winfo exists $w]} { destroy $w }
    return
  }
  if {![winfo exists $w]} {
    toplevel $w -background #37474f
    wm overrideredirect $w 1
    wm attributes $w -topmost 1
    label $w.text -font {Helvetica 11} -background #37474f -foreground white -padx 10 -pady 4
    pack $w.text
  }
  set text "Alerts cannot reach this computer: the alert service is not answering"
  if {$since ne ""} { append text " (last answer $since)" }
  $w.text configure -text "$text."
  update idletasks
  wm geometry $w +[expr {[winfo screenwidth .] - [winfo reqwidth $w] - 8}]+[expr {[winfo screenheight .] - [winfo reqheight $w] - 8}]
}
proc ::halvenor::alarm {w} {
  if {![winfo exists $w]} return
  bell -displayof $w
  after 4000 [list ::halvenor::alarm $w]
}
)TCL";

}  // namespace

AlertWindow::AlertWindow() {
  try {
    tcl_ = std::make_unique<tk::TclInterpreter>();
    tcl_->load_tk();
  } catch (const tk::TkError& e) {
    throw AgentSetupError(std::string("The desktop cannot be reached (") + e.what() +
                          "); run with --headless on a computer without one.");
  }
  for (const bool acknowledged : {false, true}) {
    tcl_->command(acknowledged ? "::halvenor::report_acknowledged" : "::halvenor::report_displayed",
                  [this, acknowledged](const std::vector<std::string>& args) {
                    if (args.size() != 1) throw tk::TkError("wrong # args: should be \"report id\"");
                    if (loop_ != nullptr) {
                      if (acknowledged)
                        loop_->acknowledged(args[0]);
                      else
                        loop_->displayed(args[0]);
                    }
                    return std::string();
                  });
  }
  try {
    tcl_->eval(kWindowScript);
  } catch (const tk::TkError& e) {
    throw std::runtime_error(std::string("window procedures: ") + e.what());
  }
  if (const char* script = std::getenv(kTestScriptVariable); script != nullptr && script[0] != '\0') {
    log_line("sourcing the test script named by " + std::string(kTestScriptVariable));
    if (!call({"source", script})) throw std::runtime_error("the test script failed");
  }
}

AlertWindow::~AlertWindow() = default;

void AlertWindow::queue(Job job) {
  std::lock_guard lock(mutex_);
  jobs_.push_back(std::move(job));
}

bool AlertWindow::show(const AlertView& alert) {
  Job job;
  job.what = Job::What::kShow;
  job.alert = alert;
  queue(std::move(job));
  return false;
}

void AlertWindow::withdraw(const std::string& id) {
  Job job;
  job.alert.id = id;
  queue(std::move(job));
}

void AlertWindow::retract(const std::string& id, const std::string& note) {
  Job job;
  job.what = Job::What::kRetract;
  job.alert.id = id;
  job.note = note;
  queue(std::move(job));
}

void AlertWindow::reachability(bool reachable, double since) {
  Job job;
  job.what = Job::What::kReachability;
  job.reachable = reachable;
  if (since > 0) {
    const std::string local = platform::iso8601_local(since);  // "2024-03-01T14:05:07+01:00"
    job.note = local.size() >= 16 ? local.substr(11, 5) : local;
  }
  queue(std::move(job));
}

void AlertWindow::quit() { quit_ = true; }

void AlertWindow::run() {
  tcl_->after(kTimerMs, [this] { on_timer(); });
  while (!quit_) tcl_->handle_one_event();
}

void AlertWindow::on_timer() {
  std::vector<Job> jobs;
  {
    std::lock_guard lock(mutex_);
    jobs.swap(jobs_);
  }
  for (const Job& job : jobs) carry_out(job);
  if (!quit_) tcl_->after(kTimerMs, [this] { on_timer(); });
}

void AlertWindow::carry_out(const Job& job) {
  if (job.what == Job::What::kReachability) {
    call({"::halvenor::reachability", job.reachable ? "1" : "0", job.note});
    return;
  }
  const AlertView& alert = job.alert;
  auto known = windows_.find(alert.id);
  if (job.what != Job::What::kShow) {
    if (known == windows_.end()) return;
    if (job.what == Job::What::kRetract)
      call({"::halvenor::retract", known->second, job.note});
    else
      call({"::halvenor::withdraw", known->second});
    windows_.erase(known);
    return;
  }
  if (known != windows_.end()) call({"::halvenor::withdraw", known->second});
  const std::string path = ".alert" + std::to_string(++next_window_);
  windows_[alert.id] = path;
  const bool critical = alert.kind == AlertKind::Critical;
  if (call({"::halvenor::show", path, alert.id, critical ? "critical" : "ticker", alert.exercise ? "1" : "0",
            alert.stand_down ? "1" : "0", alert.title, alert.body}) &&
      critical)
    sound_alarm();
}

bool AlertWindow::call(const std::vector<std::string>& words) {
  try {
    tcl_->call(words);
    return true;
  } catch (const tk::TkError& e) {
    log_line("window: " + printable(words.front()) + " failed: " + printable(e.what()));
    return false;
  }
}

void AlertWindow::sound_alarm() {
  auto player = find_program("paplay");
  if (!player) return;
  for (const char* sound : kAlarmSounds) {
    std::error_code missing;
    if (std::filesystem::exists(sound, missing)) {
      start_program({*player, sound});
      return;
    }
  }
}

}  // namespace halvenor::agent
