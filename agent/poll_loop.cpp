#include "agent/poll_loop.h"

#include <chrono>
#include <cstdlib>
#include <set>

#include "agent/agent_log.h"
#include "agent/browser_trust.h"

namespace halvenor::agent {
namespace {

using SteadyClock = std::chrono::steady_clock;

const char* kind_name(AlertKind kind) { return kind == AlertKind::Critical ? "critical" : "ticker"; }

std::string text_member(const Json& object, const char* key) {
  auto it = object.is_object() ? object.find(key) : object.end();
  return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

PollLoop::PollLoop(const AgentSettings& settings, TrustStore& trust, ServerLink& link, ReceiptJournal& journal,
                   AlertDisplay& display, PollOptions options)
    : settings_(settings),
      trust_(trust),
      link_(link),
      journal_(journal),
      display_(display),
      options_(std::move(options)),
      random_(std::random_device{}()) {}

double PollLoop::now() const {
  return std::chrono::duration<double>(SteadyClock::now().time_since_epoch()).count();
}

void PollLoop::stop() {
  stopping_ = true;
  std::lock_guard lock(mutex_);
  wake_.notify_all();
}

void PollLoop::displayed(const std::string& id) {
  std::lock_guard lock(mutex_);
  events_.push_back({Kind::Displayed, id});
  wake_.notify_all();
}

void PollLoop::acknowledged(const std::string& id) {
  std::lock_guard lock(mutex_);
  events_.push_back({Kind::Acknowledged, id});
  wake_.notify_all();
}

int PollLoop::run() {
  log_line("starting for device " + printable(settings_.device_id) + " at " + printable(settings_.server_url) +
           (settings_.allow_live_incidents ? "; live incidents allowed" : "; exercises only"));
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  int failures = 0;
  bool refresh = true;
  double next_refresh = 0;
  while (!stopping_) {
    try {
      cycle(refresh || now() >= next_refresh);
      if (refresh || now() >= next_refresh) next_refresh = now() + options_.refresh_seconds;
      refresh = false;
      if (failures > 0 || !last_failure_.empty()) log_line("connected");
      if (failures >= kUnreachableAfterFailures) display_.reachability(true, now());
      last_answer_ = now();
      failures = 0;
      last_failure_.clear();
    } catch (const LinkUnavailable& e) {
      if (++failures == kUnreachableAfterFailures) display_.reachability(false, last_answer_);
      refresh = true;  // the server may have changed while it was away
      if (e.what() != last_failure_) log_line(std::string("unreachable: ") + e.what());
      last_failure_ = e.what();
    } catch (const LinkRefused& e) {
      // A refused credential keeps alerts away just as surely as a dead link.
      if (++failures == kUnreachableAfterFailures) display_.reachability(false, last_answer_);
      if (e.what() != last_failure_) log_line(std::string("refused: ") + e.what());
      last_failure_ = e.what();
    }
    if (options_.once) return failures == 0 ? 0 : 1;
    wait(failures == 0 ? poll_delay(options_.timing, unit(random_))
                       : backoff_delay(options_.timing, failures, unit(random_)));
  }
  log_line("stopped");
  return 0;
}

void PollLoop::cycle(bool refresh) {
  handle_events();
  acknowledge_due();
  deliver_receipts();
  if (refresh) {
    refresh_profile();
    check_certificate();
    check_browser_trust();
  }
  poll();
  deliver_receipts();
  handle_events();
  acknowledge_due();
  deliver_receipts();
}

void PollLoop::wait(double seconds) {
  const double until = now() + seconds;
  while (!stopping_) {
    double deadline = until;
    if (options_.auto_ack_seconds) {
      auto due = tracker_.next_auto_ack(*options_.auto_ack_seconds);
      if (due && *due < deadline) deadline = *due;
    }
    {
      std::unique_lock lock(mutex_);
      const double left = deadline - now();
      if (left > 0 && events_.empty())
        wake_.wait_for(lock, std::chrono::duration<double>(left), [&] { return stopping_ || !events_.empty(); });
    }
    if (stopping_) return;
    handle_events();
    acknowledge_due();
    // Receipts from the screen go out at once; a failure here waits for the
    // next cycle, which retries them first.
    try {
      deliver_receipts();
    } catch (const std::exception&) {
    }
    if (now() >= until) return;
  }
}

void PollLoop::record(const Receipt& receipt) { journal_.add(receipt); }

void PollLoop::handle_events() {
  std::vector<Event> events;
  {
    std::lock_guard lock(mutex_);
    events.swap(events_);
  }
  for (const Event& event : events) {
    if (event.kind == Kind::Displayed) {
      if (!tracker_.on_screen(event.id)) continue;
      log_line("displayed " + printable(event.id));
      if (auto receipt = tracker_.displayed(event.id, now(), journal_)) record(*receipt);
    } else {
      const bool shown = tracker_.on_screen(event.id);
      auto receipt = tracker_.acknowledged(event.id, journal_);
      if (receipt) record(*receipt);
      if (shown) {
        log_line("acknowledged " + printable(event.id));
        display_.withdraw(event.id);
      }
    }
  }
}

void PollLoop::acknowledge_due() {
  if (!options_.auto_ack_seconds) return;
  for (const std::string& id : tracker_.due_for_auto_ack(now(), *options_.auto_ack_seconds)) {
    log_line("acknowledged " + printable(id) + " (automatic)");
    if (auto receipt = tracker_.acknowledged(id, journal_)) record(*receipt);
    display_.withdraw(id);
  }
}

void PollLoop::deliver_receipts() {
  for (const Receipt& receipt : journal_.pending()) {
    try {
      link_.post("/api/agent/receipt", Json{{"id", receipt.alert_id}, {"event", receipt.event}});
      journal_.settle(receipt, ReceiptState::Accepted);
      log_line("receipt " + printable(receipt.alert_id) + " " + receipt.event + " accepted");
    } catch (const LinkRefused& e) {
      // The server will never take it (cancelled, expired, out of order).
      journal_.settle(receipt, ReceiptState::Refused);
      log_line("receipt " + printable(receipt.alert_id) + " " + receipt.event + " refused: " + e.what());
    }
  }
}

void PollLoop::refresh_profile() {
  try {
    Json profile = link_.get("/api/agent/profile");
    Json status = link_.get("/api/agent/channel-status");
    const std::string summary = "profile " + printable(json::field_text(profile), 600) + " channels " +
                                printable(json::field_text(status), 200);
    if (summary != last_profile_) log_line(summary);
    last_profile_ = summary;
  } catch (const LinkRefused& e) {
    log_line(std::string("profile refused: ") + e.what());
  }
}

void PollLoop::check_certificate() {
  Json update;
  try {
    update = link_.get("/api/agent/certificate");
  } catch (const LinkRefused& e) {
    log_line(std::string("certificate check refused: ") + e.what());
    return;
  }
  if (text_member(update, "action") != "install") return;
  const std::string fingerprint = text_member(update, "ca_sha256_fingerprint");
  Json report{{"ca_sha256_fingerprint", fingerprint.substr(0, 128)}};
  try {
    trust_.install(text_member(update, "ca_certificate"), fingerprint);
    report["status"] = "installed";
    log_line("certificate authority " + printable(fingerprint) + " trusted");
  } catch (const std::exception& e) {
    report["status"] = "failed";
    report["detail"] = printable(e.what(), 900);
    log_line(std::string("certificate authority not trusted: ") + e.what());
  }
  try {
    link_.post("/api/agent/certificate", report);
  } catch (const LinkRefused& e) {
    log_line(std::string("certificate report refused: ") + e.what());
  }
}

void PollLoop::check_browser_trust() {
  Json request;
  try {
    request = link_.get("/api/agent/browser-trust");
  } catch (const LinkRefused& e) {
    log_line(std::string("browser trust check refused: ") + e.what());
    return;
  }
  if (text_member(request, "action") != "install") return;
  BrowserTrustResult result;
  const auto home = desktop_home();
  if (!home) {
    result = {"failed", "The desktop user has no home folder (HOME is not set)."};
  } else {
    try {
      result = install_browser_trust(text_member(request, "ca_certificate"),
                                     text_member(request, "ca_sha256_fingerprint"), nss_databases(*home),
                                     options_.state_folder);
    } catch (const std::exception& e) {
      result = {"failed", e.what()};
    }
  }
  log_line("browser trust " + result.status + ": " + printable(result.detail, 400));
  Json report{{"status", result.status}, {"detail", printable(result.detail, 900)}};
  try {
    link_.post("/api/agent/browser-trust", report);
  } catch (const LinkRefused& e) {
    log_line(std::string("browser trust report refused: ") + e.what());
  }
}

void PollLoop::poll() {
  HeaderList headers;
  if (settings_.allow_live_incidents) headers.emplace_back(kCapabilityHeader, kLiveProtocol);
  Json polled = link_.get("/api/agent/poll", headers);
  if (!polled.is_array()) throw LinkUnavailable("the poll answer is not a list");
  PollPlan plan = tracker_.apply_poll(polled, journal_);
  for (const Receipt& receipt : plan.receipts) record(receipt);
  for (const std::string& id : plan.withdraw) {
    display_.withdraw(id);
    log_line("withdrawn " + printable(id));
  }
  std::set<std::string> concluded;
  for (const AlertView& alert : plan.show)
    if (!alert.concludes.empty()) concluded.insert(alert.concludes);
  for (const PollPlan::Gone& gone : plan.gone) {
    const char* note = concluded.count(gone.id) != 0                 ? "Concluded"
                       : gone.expires > 0 && gone.expires <= now() ? "Expired"
                                                                     : "Cancelled";
    display_.retract(gone.id, note);
    log_line("withdrawn " + printable(gone.id) + " (" + note + ")");
  }
  for (const AlertView& alert : plan.show) {
    log_line("shown " + printable(alert.id) + " " + kind_name(alert.kind) + " " +
             (alert.exercise ? "exercise" : "live") + (alert.stand_down ? " stand-down" : ""));
    if (display_.show(alert)) displayed(alert.id);
  }
}

}  // namespace halvenor::agent
