#include "firstrun/wizard.h"

#include <cstdlib>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "firstrun/certificate_trust.h"
#include "firstrun/choices.h"
#include "firstrun/finisher.h"
#include "firstrun/legal_controls.h"
#include "firstrun/legal_terms.h"
#include "firstrun/tk_dialogs.h"
#include "firstrun/window_identity.h"
#include "firstrun/wizard_events.h"
#include "firstrun/wizard_layout.h"
#include "firstrun/wizard_navigation.h"
#include "firstrun/wizard_texts.h"
#include "firstrun/wizard_widgets.h"
#include "firstrun/wizard_workers.h"
#include "tk/tcl_interpreter.h"

namespace halvenor::firstrun {
namespace {

namespace fs = std::filesystem;
using namespace wizard_ui;

constexpr int kTickMs = 200;

std::string text_member(const Json& map, const char* key) {
  if (map.is_object() && map.contains(key) && map.at(key).is_string()) return map.at(key).get<std::string>();
  return {};
}

FinishOptions finish_options_from_environment() {
  FinishOptions options;
  const char* open = std::getenv("HALVENOR_WIZARD_OPEN_WINDOWS");
  if (open != nullptr && std::string(open) == "0") options.open_windows = false;
  return options;
}

class Wizard {
 public:
  Wizard(tk::TclInterpreter& tk, fs::path source);
  ~Wizard();
  Wizard(const Wizard&) = delete;
  Wizard& operator=(const Wizard&) = delete;

  void navigation();
  void show_step(int step);
  void next_step();
  void back_step();
  void begin();
  void finish_setup();
  void close();
  void tick();

 private:
  void register_commands();
  void place_window();
  void toggle_advanced();
  void browse();
  void resize(int canvas_width);
  void wrap_labels(const std::string& widget, int wrap);
  void handle(WizardEvent& event);
  void final_buttons();
  void set_state(const char* widget, bool enabled);
  void publish_state();
  Json field_values() const;
  fs::path legal_folder() const { return source_ / "docs" / "legal"; }

  tk::TclInterpreter& tk_;
  fs::path source_;
  std::unique_ptr<Dialogs> dialogs_;
  std::shared_ptr<EventQueue> events_ = std::make_shared<EventQueue>();
  std::optional<Json> result_;
  std::string install_warning_;
  bool busy_ = false;
  int step_ = 0;
  std::map<std::string, std::string> entries_;
  std::unique_ptr<LegalControls> legal_;
  std::optional<tk::TclInterpreter::TimerHandle> after_id_;
};

Wizard::Wizard(tk::TclInterpreter& tk, fs::path source) : tk_(tk), source_(std::move(source)) {
  tk_.eval("namespace eval ::wizard {}");
  dialogs_ = make_dialogs(tk_);
  Json defaults = default_choices();
  for (const auto& field : choice_fields()) tk_.set(value_var(field.key), text_member(defaults, field.key.c_str()));
  tk_.set(kStepTitleVar, "");
  tk_.set(kStatusVar, kInitialStatus);
  tk_.set(kReviewVar, "");
  tk_.set(kAdvancedVar, "0");
  tk_.set(kDesktopVar, "1");
  tk_.set(kTrustVar, "1");
  tk_.set(kScopeVar, kScopeCurrentUser);
  publish_state();
  register_commands();

  window_icon(tk_, ".", "server", source_ / "assets");
  tk_.call({"wm", "protocol", ".", "WM_DELETE_WINDOW", "::wizard::close"});
  tk_.call({"wm", "title", ".", kWindowTitle});
  place_window();
  WizardPages pages = build_pages(tk_, legal_folder(), [this] { navigation(); });
  entries_ = std::move(pages.entries);
  legal_ = std::move(pages.legal);
  show_step(0);
  after_id_ = tk_.after(kTickMs, [this] { tick(); });
}

Wizard::~Wizard() {
  if (after_id_) tk_.cancel(*after_id_);
}

void Wizard::register_commands() {
  auto bind = [this](const std::string& name, std::function<void()> fn) {
    tk_.command("::wizard::" + name, [fn = std::move(fn)](const std::vector<std::string>&) {
      fn();
      return std::string();
    });
  };
  bind("close", [this] { close(); });
  bind("next", [this] { next_step(); });
  bind("back", [this] { back_step(); });
  bind("begin", [this] { begin(); });
  bind("retry", [this] { finish_setup(); });
  bind("browse", [this] { browse(); });
  bind("advanced_toggled", [this] { toggle_advanced(); });
  bind("alt_next", [this] {
    if (next_key_acts(step_, busy_)) next_step();
  });
  bind("alt_back", [this] {
    if (back_key_acts(step_, busy_)) back_step();
  });
  bind("open_dashboard", [this] {
    if (!result_) return;
    try {
      open_dashboard(text_member(*result_, "url"));
    } catch (const std::exception& error) {
      dialogs_->error("Open Dashboard", error.what());
    }
  });
  bind("open_credentials", [this] {
    if (!result_) return;
    try {
      open_file(fs::path(text_member(*result_, "credential_file")));
    } catch (const std::exception& error) {
      dialogs_->error("Open Administrator credential file", error.what());
    }
  });
  tk_.command("::wizard::resize", [this](const std::vector<std::string>& args) {
    if (!args.empty()) resize(std::stoi(args[0]));
    return std::string();
  });
  tk_.command("::wizard::wheel", [this](const std::vector<std::string>& args) {
    int lines = args.empty() ? 0 : wheel_lines(std::stoi(args[0]));
    if (lines != 0) tk_.call({kCanvas, "yview", "scroll", std::to_string(lines), "units"});
    return std::string();
  });
}

void Wizard::place_window() {
  int sw = std::stoi(tk_.call({"winfo", "screenwidth", "."}));
  int sh = std::stoi(tk_.call({"winfo", "screenheight", "."}));
  WindowGeometry g = window_geometry(sw, sh);
  tk_.call({"wm", "geometry", ".",
            std::to_string(g.width) + "x" + std::to_string(g.height) + "+" + std::to_string(g.x) + "+" +
                std::to_string(g.y)});
  tk_.call({"wm", "minsize", ".", std::to_string(g.min_width), std::to_string(g.min_height)});
  build_frame(tk_, g.width);
}

void Wizard::toggle_advanced() {
  const std::string server = page_path(0);
  if (tk_.get_bool(kAdvancedVar))
    tk_.call({"pack", server + ".advanced", "-after", server + ".advanced_check", "-fill", "x"});
  else
    tk_.call({"pack", "forget", server + ".advanced"});
}

void Wizard::browse() {
  if (auto chosen = dialogs_->choose_folder(tk_.get(value_var("folder")))) tk_.set(value_var("folder"), *chosen);
}

void Wizard::resize(int canvas_width) {
  tk_.call({kCanvas, "itemconfigure", "content", "-width", std::to_string(canvas_width)});
  int wrap = wrap_width(canvas_width);
  tk_.call({kTitle, "configure", "-wraplength", std::to_string(wrap)});
  tk_.call({kStatus, "configure", "-wraplength", std::to_string(wrap)});
  for (int i = 0; i < kStepCount; ++i) wrap_labels(page_path(i), wrap);
}

void Wizard::wrap_labels(const std::string& widget, int wrap) {
  for (const auto& child : tk::split_list(tk_.call({"winfo", "children", widget}))) {
    std::string cls = tk_.call({"winfo", "class", child});
    if (cls == "TLabel" || cls == "Label") tk_.call({child, "configure", "-wraplength", std::to_string(wrap)});
    wrap_labels(child, wrap);
  }
}

void Wizard::set_state(const char* widget, bool enabled) {
  tk_.call({widget, "configure", "-state", enabled ? "normal" : "disabled"});
}

void Wizard::publish_state() {
  tk_.set("::wizard::step", std::to_string(step_));
  tk_.set("::wizard::busy", busy_ ? "1" : "0");
}

void Wizard::navigation() {
  if (!legal_) return;
  publish_state();
  tk_.call({"pack", "forget", kBack, kNext, kCreate});
  NavigationState s = navigation_state(step_, busy_, legal_->agreed(), result_.has_value());
  if (s.show_create) {
    tk_.call({"pack", kCreate, "-side", "right"});
    set_state(kCreate, s.create_enabled);
  }
  if (s.show_next) {
    tk_.call({"pack", kNext, "-side", "right"});
    set_state(kNext, s.next_enabled);
  }
  if (s.show_back) {
    tk_.call({"pack", kBack, "-side", "right", "-padx", "0 8"});
    set_state(kBack, s.back_enabled);
  }
  if (s.cancel_enabled) set_state(kCancel, *s.cancel_enabled);
}

Json Wizard::field_values() const {
  Json values = Json::object();
  for (const auto& field : choice_fields()) values[field.key] = tk_.get(value_var(field.key));
  return values;
}

void Wizard::show_step(int step) {
  step_ = step;
  for (int i = 0; i < kStepCount; ++i) tk_.call({"pack", "forget", page_path(i)});
  tk_.call({"pack", page_path(step_), "-fill", "both", "-expand", "1"});
  tk_.set(kStepTitleVar, step_title(step_));
  if (step_ == kStepCount - 1) {
    ReviewInput input{field_values(), tk_.get_bool(kDesktopVar), tk_.get_bool(kTrustVar), tk_.get(kScopeVar),
                      legal_ && legal_->agreed()};
    tk_.set(kReviewVar, review_text(input));
  }
  navigation();
  tk_.call({kCanvas, "yview", "moveto", "0"});
  if (step_ == 0) tk_.call({"focus", entries_.at("folder")});
  if (step_ == 1) tk_.call({"focus", entries_.at("account")});
}

void Wizard::next_step() {
  if (busy_ || step_ >= kStepCount - 1) return;
  Json values = field_values();
  try {
    if (step_ == 0) {
      check_server_settings(values);
      check_can_listen(values);
    }
    if (step_ == 1) validate(values);
    if (step_ == 2) legal::agreement(legal_folder(), legal_->agreed());
  } catch (const std::exception& error) {
    dialogs_->error("Check this step", error.what());
    return;
  }
  show_step(step_ + 1);
}

void Wizard::back_step() {
  if (!busy_ && step_ > 0) show_step(step_ - 1);
}

void Wizard::begin() {
  if (busy_ || step_ != kStepCount - 1) return;
  Json choices = field_values();
  Json plan;
  std::optional<std::string> scope;
  const std::string scope_text = tk_.get(kScopeVar);
  try {
    choices["legal_acceptance"] = legal::agreement(legal_folder(), legal_->agreed());
    plan = validate(choices);
    scope = trust_scope(tk_.get_bool(kTrustVar), scope_text);
    if (scope) trust::validate_scope(*scope);
  } catch (const std::exception& error) {
    dialogs_->error("Check setup details", error.what());
    return;
  }
  try {
    check_can_listen(plan["bind"].get<std::string>(), plan["port"].get<long long>());
  } catch (const std::exception& error) {
    // The port may have been taken since the first step was left; that step
    // is where it is changed.
    dialogs_->error("Check this step", error.what());
    show_step(0);
    return;
  }
  std::optional<std::string> shown_scope;
  if (scope) shown_scope = scope_text;
  if (!dialogs_->ask("Confirm fresh installation", confirmation_text(plan, shown_scope))) return;

  busy_ = true;
  navigation();
  set_state(kCreate, false);
  tk_.set(kStatusVar, kInstallingStatus);
  bool desktop = tk_.get_bool(kDesktopVar);
  start_detached(events_, [choices, scope, desktop, source = source_](EventQueue& events) {
    installation_job(choices, scope, desktop, source, real_install_steps(), events);
  });
}

void Wizard::finish_setup() {
  // A second press of Retry before the first has started must not start a second worker.
  if (!result_ || busy_) return;
  busy_ = true;
  navigation();
  tk_.call({"pack", "forget", kCancel});
  for (const auto& child : tk::split_list(tk_.call({"winfo", "children", kDone}))) tk_.call({"destroy", child});
  publish_state();
  // The worker owns a copy of the result and hands the updated map back with
  // its event, so the map is never shared between threads.
  start_detached(events_, [result = *result_, options = finish_options_from_environment()](EventQueue& events) {
    finishing_job(result, real_finish_step(options), events);
  });
}

void Wizard::close() {
  if (busy_) {
    dialogs_->info("Setup in progress", "Please wait for setup to finish before closing this window.");
    return;
  }
  if (after_id_) {
    tk_.cancel(*after_id_);
    after_id_.reset();
  }
  tk_.call({"destroy", "."});
}

void Wizard::tick() {
  after_id_.reset();
  try {
    for (auto& event : events_->take_all()) handle(event);
  } catch (const std::exception& error) {
    // Keep draining on the next tick; a widget failure must not stall setup.
    std::cerr << "firstrun: " << error.what() << '\n';
  }
  after_id_ = tk_.after(kTickMs, [this] { tick(); });
}

void Wizard::handle(WizardEvent& event) {
  using Kind = WizardEvent::Kind;
  if (event.kind == Kind::progress) {
    tk_.set(kStatusVar, event.text);
    return;
  }
  busy_ = false;
  publish_state();
  switch (event.kind) {
    case Kind::error:
      navigation();
      tk_.set(kStatusVar, event.text);
      break;
    case Kind::installed:
      result_ = std::move(event.result);
      install_warning_ = std::move(event.warning);
      finish_setup();
      break;
    case Kind::finished:
      result_ = std::move(event.result);
      tk_.set(kStatusVar, finished_status(*result_, install_warning_, event.notes));
      final_buttons();
      break;
    case Kind::startup_error:
      result_ = std::move(event.result);
      tk_.set(kStatusVar, startup_error_status(event.text, install_warning_));
      tk_.call({"ttk::button", std::string(kDone) + ".retry", "-text", "Retry opening setup", "-command",
                "::wizard::retry"});
      tk_.call({"grid", std::string(kDone) + ".retry", "-row", "0", "-column", "0", "-sticky", "ew", "-pady", "3"});
      final_buttons();
      break;
    case Kind::progress:
      break;
  }
}

void Wizard::final_buttons() {
  struct Button {
    const char* name;
    const char* text;
    const char* command;
    const char* pady;
  };
  const Button buttons[] = {
      {"dashboard", "Open Dashboard", "::wizard::open_dashboard", "3"},
      {"credentials", "Open Administrator credential file", "::wizard::open_credentials", "3"},
      {"finish", "Finish", "::wizard::close", "3 10"},
  };
  int row = 1;
  for (const auto& b : buttons) {
    const std::string path = std::string(kDone) + "." + b.name;
    tk_.call({"ttk::button", path, "-text", b.text, "-command", b.command});
    tk_.call({"grid", path, "-row", std::to_string(row++), "-column", "0", "-sticky", "ew", "-pady", b.pady});
  }
}

void run_test_script(tk::TclInterpreter& tk) {
  const char* script = std::getenv("HALVENOR_WIZARD_SCRIPT");
  if (script == nullptr || *script == '\0') return;
  try {
    tk.call({"source", script});
  } catch (const tk::TkError& error) {
    std::cerr << "firstrun: test script: " << error.what() << '\n';
  }
}

}  // namespace

int run_wizard(const std::filesystem::path& source) {
  try {
    if (current_identity().empty()) process_identity("ServerSetup");
    tk::TclInterpreter tk;
    tk.load_tk(current_identity());
    Wizard wizard(tk, source);
    run_test_script(tk);
    tk.run_until_closed();
    return 0;
  } catch (const std::exception& error) {
    std::cerr << "firstrun: " << error.what() << '\n';
    return 1;
  }
}

}  // namespace halvenor::firstrun
