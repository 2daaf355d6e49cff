// The agreement controls of the first-install window: each licence document
// in a read-only scrolled text, then the agreement check box.
#pragma once

#include <filesystem>
#include <functional>
#include <string>

#include "tk/tcl_interpreter.h"

namespace halvenor::firstrun {

class LegalControls {
 public:
  // Builds the controls inside `panel` (a Tk path) from the documents in
  // legal_folder. on_change runs whenever the agreement state changes,
  // including the initial state set while building. When the documents
  // cannot be read the reason is shown instead of them; agreeing is then
  // refused later by the agreement check, with its own message.
  LegalControls(tk::TclInterpreter& tk, const std::string& panel, const std::filesystem::path& legal_folder,
                std::function<void()> on_change);
  ~LegalControls();
  LegalControls(const LegalControls&) = delete;
  LegalControls& operator=(const LegalControls&) = delete;

  bool agreed() const;
  // The Tcl variable that holds the state (1 agreed, 0 not).
  static constexpr char kVariable[] = "::wizard::legal_checked";
  const std::string& checkbox() const { return checkbox_; }

 private:
  tk::TclInterpreter& tk_;
  std::string checkbox_;
};

}  // namespace halvenor::firstrun
