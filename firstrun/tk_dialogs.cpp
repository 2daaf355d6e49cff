#include "firstrun/tk_dialogs.h"

#include <cstdlib>
#include <iostream>

namespace halvenor::firstrun {
namespace {

constexpr char kAutoConfirmVariable[] = "HALVENOR_WIZARD_AUTO_CONFIRM";

class TkDialogs : public Dialogs {
 public:
  explicit TkDialogs(tk::TclInterpreter& tk) : tk_(tk) {}

  bool ask(const std::string& title, const std::string& message) override {
    return box("question", "yesno", title, message) == "yes";
  }
  void error(const std::string& title, const std::string& message) override {
    box("error", "ok", title, message);
  }
  void info(const std::string& title, const std::string& message) override {
    box("info", "ok", title, message);
  }
  std::optional<std::string> choose_folder(const std::string& initial) override {
    std::string chosen = tk_.call({"tk_chooseDirectory", "-parent", ".", "-initialdir", initial, "-mustexist", "0"});
    if (chosen.empty()) return std::nullopt;
    return chosen;
  }

 private:
  std::string box(const char* icon, const char* type, const std::string& title, const std::string& message) {
    return tk_.call({"tk_messageBox", "-parent", ".", "-icon", icon, "-type", type, "-title", title,
                     "-message", message});
  }
  tk::TclInterpreter& tk_;
};

class AutomaticDialogs : public Dialogs {
 public:
  AutomaticDialogs(tk::TclInterpreter& tk, bool answer) : tk_(tk) {
    tk_.eval("namespace eval ::wizard {variable dialogs {}}");
    tk_.set(kAnswerVariable, answer ? "yes" : "no");
  }

  bool ask(const std::string& title, const std::string& message) override {
    log(title, message);
    return tk_.get(kAnswerVariable) == "yes";
  }
  void error(const std::string& title, const std::string& message) override { log(title, message); }
  void info(const std::string& title, const std::string& message) override { log(title, message); }
  std::optional<std::string> choose_folder(const std::string&) override { return std::nullopt; }

 private:
  void log(const std::string& title, const std::string& message) {
    std::cerr << "dialog: " << title << ": " << message << std::endl;
    tk_.call({"lappend", "::wizard::dialogs", tk::quote(title) + " " + tk::quote(message)});
  }
  static constexpr char kAnswerVariable[] = "::wizard::auto_answer";
  tk::TclInterpreter& tk_;
};

}  // namespace

std::optional<bool> automatic_answer_from_environment() {
  const char* value = std::getenv(kAutoConfirmVariable);
  if (value == nullptr) return std::nullopt;
  std::string text = value;
  if (text == "yes") return true;
  if (text == "no") return false;
  return std::nullopt;
}

std::unique_ptr<Dialogs> make_dialogs(tk::TclInterpreter& tk) {
  if (auto answer = automatic_answer_from_environment()) return std::make_unique<AutomaticDialogs>(tk, *answer);
  return std::make_unique<TkDialogs>(tk);
}

}  // namespace halvenor::firstrun
