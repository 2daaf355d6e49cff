// The wizard's modal dialogs: question, error, information and the folder
// chooser, each owned by the main window.
//
// Automatic answers exist for the window tests only: when the environment
// variable HALVENOR_WIZARD_AUTO_CONFIRM is "yes" or "no", questions are
// answered with that word and error and information dialogs do not block;
// their title and message go to standard error as "dialog: TITLE: MESSAGE"
// and are appended as a {TITLE MESSAGE} pair to the Tcl list
// ::wizard::dialogs, where a test script can read them. The answer starts as
// the variable's word and can be changed by setting ::wizard::auto_answer.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "tk/tcl_interpreter.h"

namespace halvenor::firstrun {

class Dialogs {
 public:
  virtual ~Dialogs() = default;
  virtual bool ask(const std::string& title, const std::string& message) = 0;
  virtual void error(const std::string& title, const std::string& message) = 0;
  virtual void info(const std::string& title, const std::string& message) = 0;
  // The chosen folder; nullopt when the chooser was cancelled.
  virtual std::optional<std::string> choose_folder(const std::string& initial) = 0;
};

// The automatic answer the environment asks for, if any.
std::optional<bool> automatic_answer_from_environment();

// Real Tk dialogs, or the automatic ones when the environment asks for them.
std::unique_ptr<Dialogs> make_dialogs(tk::TclInterpreter& tk);

}  // namespace halvenor::firstrun
