#include "firstrun/legal_controls.h"

#include "firstrun/legal_terms.h"
#include "net/private_files.h"

namespace halvenor::firstrun {
namespace {

// Licence texts are a few pages; anything far larger is not one of ours.
constexpr std::size_t kMaxDocumentBytes = 4 * 1024 * 1024;

}  // namespace

LegalControls::LegalControls(tk::TclInterpreter& tk, const std::string& panel, const std::filesystem::path& legal_folder,
                             std::function<void()> on_change)
    : tk_(tk), checkbox_(panel + ".agree") {
  const std::string box = panel + ".terms";
  const std::string text = box + ".text";
  const std::string bar = box + ".scroll";
  tk_.call({"ttk::frame", box});
  tk_.call({"text", text, "-height", "12", "-wrap", "word", "-relief", "solid", "-borderwidth", "1",
            "-yscrollcommand", bar + " set"});
  tk_.call({"ttk::scrollbar", bar, "-orient", "vertical", "-command", text + " yview"});
  tk_.call({"pack", bar, "-side", "right", "-fill", "y"});
  tk_.call({"pack", text, "-side", "left", "-fill", "both", "-expand", "1"});
  tk_.call({text, "tag", "configure", "title", "-font", "TkHeadingFont", "-spacing1", "6", "-spacing3", "6"});
  try {
    for (const auto& doc : legal::documents(legal_folder)) {
      tk_.call({text, "insert", "end", doc.title + "\n", "title"});
      tk_.call({text, "insert", "end", setup::read_file(doc.file, kMaxDocumentBytes) + "\n\n"});
    }
  } catch (const std::exception& error) {
    tk_.call({text, "insert", "end", std::string("The licence terms cannot be shown: ") + error.what()});
  }
  tk_.call({text, "configure", "-state", "disabled"});
  tk_.call({"pack", box, "-fill", "both", "-expand", "1", "-pady", "0 8"});

  tk_.command("::wizard::legal_changed", [on_change = std::move(on_change)](const std::vector<std::string>&) {
    on_change();
    return std::string();
  });
  tk_.eval("namespace eval ::wizard {}");
  tk_.set(kVariable, "0");
  // A trace rather than the check box's -command, so that every change of
  // the state refreshes the buttons, whoever makes it.
  tk_.call({"trace", "add", "variable", kVariable, "write", "::wizard::legal_changed"});
  tk_.call({"ttk::checkbutton", checkbox_, "-text", legal::kAgreementLabel, "-variable", kVariable});
  tk_.call({"pack", checkbox_, "-anchor", "w"});
  tk_.set(kVariable, "0");
}

LegalControls::~LegalControls() {
  try {
    // The callback may refer to an owner that is going away with us.
    tk_.call({"trace", "remove", "variable", kVariable, "write", "::wizard::legal_changed"});
  } catch (const tk::TkError&) {
  }
}

bool LegalControls::agreed() const { return tk_.get_bool(kVariable); }

}  // namespace halvenor::firstrun
