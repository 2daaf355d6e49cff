#include "firstrun/wizard_widgets.h"

#include <stdexcept>

#include "firstrun/choices.h"
#include "firstrun/wizard_texts.h"

namespace halvenor::firstrun {

namespace wizard_ui {

std::string value_var(const std::string& key) { return "::wizard::value(" + key + ")"; }

std::string page_path(int index) { return std::string(kContent) + ".page" + std::to_string(index); }

}  // namespace wizard_ui

using namespace wizard_ui;

namespace {

const std::string& label_of(const std::string& key) {
  for (const auto& field : choice_fields())
    if (field.key == key) return field.label;
  throw std::out_of_range("no field " + key);
}

void add_caption(tk::TclInterpreter& tk, const std::string& page, const std::string& name, const std::string& text) {
  const std::string label = page + "." + name;
  tk.call({"ttk::label", label, "-text", text, "-justify", "left"});
  tk.call({"pack", label, "-anchor", "w", "-fill", "x", "-pady", "0 8"});
}

std::string add_field(tk::TclInterpreter& tk, const std::string& parent, const std::string& key) {
  const std::string label = parent + ".label_" + key;
  const std::string row = parent + ".row_" + key;
  const std::string entry = row + ".entry";
  tk.call({"ttk::label", label, "-text", label_of(key), "-justify", "left"});
  tk.call({"ttk::frame", row});
  tk.call({"ttk::entry", entry, "-textvariable", value_var(key)});
  if (key == "folder") {
    tk.call({"ttk::button", row + ".browse", "-text", "Browse…", "-command", "::wizard::browse"});
    tk.call({"pack", row + ".browse", "-side", "right", "-padx", "8 0"});
  }
  tk.call({"pack", entry, "-side", "left", "-fill", "x", "-expand", "1"});
  tk.call({"pack", label, "-anchor", "w", "-fill", "x", "-pady", "8 2"});
  tk.call({"pack", row, "-fill", "x"});
  return entry;
}

}  // namespace

void build_frame(tk::TclInterpreter& tk, int width) {
  const std::string wrap = std::to_string(width - 40);

  tk.call({"ttk::frame", kHeader, "-padding", "20 12"});
  tk.call({"ttk::label", kTitle, "-text", kHeaderText, "-font", "{Segoe UI} 15 bold", "-wraplength", wrap,
            "-justify", "left"});
  tk.call({"ttk::label", kStepLine, "-textvariable", kStepTitleVar});
  tk.call({"pack", kTitle, "-anchor", "w"});
  tk.call({"pack", kStepLine, "-anchor", "w", "-pady", "5 0"});
  tk.call({"pack", kHeader, "-side", "top", "-fill", "x"});

  tk.call({"ttk::frame", kFooter, "-padding", "12"});
  tk.call({"ttk::frame", kNav});
  tk.call({"ttk::button", kCancel, "-text", "Cancel", "-command", "::wizard::close"});
  tk.call({"ttk::button", kCreate, "-text", "Install", "-command", "::wizard::begin", "-state", "disabled"});
  tk.call({"ttk::button", kNext, "-text", "Next →", "-command", "::wizard::next"});
  tk.call({"ttk::button", kBack, "-text", "← Back", "-command", "::wizard::back"});
  tk.call({"pack", kCancel, "-side", "left"});
  tk.call({"pack", kNav, "-fill", "x"});
  tk.call({"ttk::frame", kDone});
  tk.call({"grid", "columnconfigure", kDone, "0", "-weight", "1"});
  tk.call({"pack", kDone, "-fill", "x"});
  tk.call({"pack", kFooter, "-side", "bottom", "-fill", "x"});

  tk.call({"ttk::label", kStatus, "-textvariable", kStatusVar, "-wraplength", wrap, "-justify", "left", "-padding",
            "20 5"});
  tk.call({"pack", kStatus, "-side", "bottom", "-fill", "x"});

  tk.call({"ttk::frame", kArea});
  tk.call({"canvas", kCanvas, "-highlightthickness", "0", "-yscrollcommand", std::string(kScroll) + " set"});
  tk.call({"ttk::scrollbar", kScroll, "-orient", "vertical", "-command", std::string(kCanvas) + " yview"});
  tk.call({"pack", kScroll, "-side", "right", "-fill", "y"});
  tk.call({"pack", kCanvas, "-side", "left", "-fill", "both", "-expand", "1"});
  tk.call({"ttk::frame", kContent, "-padding", "20 12"});
  tk.call({kCanvas, "create", "window", "0", "0", "-anchor", "nw", "-window", kContent, "-tags", "content"});
  tk.call({"pack", kArea, "-side", "top", "-fill", "both", "-expand", "1"});

  // The canvas background follows the theme so the pages do not look pasted on.
  tk.eval(std::string(kCanvas) + " configure -background [ttk::style lookup TFrame -background]");
  tk.eval("bind " + std::string(kContent) + " <Configure> {" + kCanvas + " configure -scrollregion [" + kCanvas +
           " bbox all]}");
  tk.eval("bind " + std::string(kCanvas) + " <Configure> {::wizard::resize %w}");
  tk.eval(
      "bind . <MouseWheel> {::wizard::wheel %D}\n"
      "bind . <Button-4> {::wizard::wheel 120}\n"
      "bind . <Button-5> {::wizard::wheel -120}\n"
      "bind . <Alt-Key-n> ::wizard::alt_next\n"
      "bind . <Alt-Key-N> ::wizard::alt_next\n"
      "bind . <Alt-Key-b> ::wizard::alt_back\n"
      "bind . <Alt-Key-B> ::wizard::alt_back\n");
}

WizardPages build_pages(tk::TclInterpreter& tk, const std::filesystem::path& legal_folder,
                        std::function<void()> on_legal_change) {
  WizardPages built;
  for (int i = 0; i < kStepCount; ++i) tk.call({"ttk::frame", page_path(i)});

  const std::string server = page_path(0);
  add_caption(tk, server, "caption", "Choose where to install the server and the address other computers will use.");
  built.entries["folder"] = add_field(tk, server, "folder");
  built.entries["hostname"] = add_field(tk, server, "hostname");
  tk.call({"ttk::checkbutton", server + ".advanced_check", "-text", "Advanced network settings", "-variable",
            kAdvancedVar, "-command", "::wizard::advanced_toggled"});
  tk.call({"pack", server + ".advanced_check", "-anchor", "w", "-pady", "12 0"});
  tk.call({"ttk::frame", server + ".advanced"});
  built.entries["bind"] = add_field(tk, server + ".advanced", "bind");
  built.entries["port"] = add_field(tk, server + ".advanced", "port");

  const std::string admin = page_path(1);
  add_caption(tk, admin, "caption",
              "Create the initial Administrator. This account signs in to the Dashboard first and manages "
              "every other account. Its password is generated and saved in a private credential file.");
  built.entries["account"] = add_field(tk, admin, "account");
  built.entries["name"] = add_field(tk, admin, "name");

  const std::string options = page_path(2);
  built.legal = std::make_unique<LegalControls>(tk, options, legal_folder, std::move(on_legal_change));
  tk.call({"ttk::separator", options + ".rule", "-orient", "horizontal"});
  tk.call({"pack", options + ".rule", "-fill", "x", "-pady", "8"});
  tk.call({"ttk::checkbutton", options + ".desktop", "-text", "Create Server and Dashboard desktop shortcuts",
            "-variable", kDesktopVar});
  tk.call({"ttk::checkbutton", options + ".trust", "-text", "Trust the server certificate on this PC", "-variable",
            kTrustVar});
  tk.call({"pack", options + ".desktop", "-anchor", "w"});
  tk.call({"pack", options + ".trust", "-anchor", "w", "-pady", "4 0"});
  add_caption(tk, options, "trust_note",
              "Windows may ask you to confirm installing this certificate. Check that it belongs to your "
              "Halvenor server before accepting.");
  tk.call({"ttk::combobox", options + ".scope", "-state", "readonly", "-textvariable", kScopeVar, "-values",
            tk::quote(kScopeCurrentUser) + " " + tk::quote(kScopeAllUsers), "-width", "48"});
  tk.call({"pack", options + ".scope", "-anchor", "w", "-pady", "0 8"});
  add_caption(tk, options, "note",
              "A local CA and HTTPS certificate will be generated. IT manages DNS, firewall access and trust on "
              "other dashboard PCs. No demo recipients or providers are created.");

  const std::string review = page_path(3);
  tk.call({"ttk::label", review + ".review", "-textvariable", kReviewVar, "-justify", "left", "-anchor", "w"});
  tk.call({"pack", review + ".review", "-anchor", "w", "-fill", "x", "-pady", "0 12"});
  add_caption(tk, review, "note",
              "Install will create the server, apply your trust/shortcut choices, start it and open the Dashboard "
              "and private Administrator credential file.");
  return built;
}

}  // namespace halvenor::firstrun
