// The widgets of the first-install window: the frame around the steps
// (header, status line, button bar, scrolled area) and the four pages.
//
// Widget paths and variables are stable, since test scripts rely on them:
//   .header.title .header.step      header and step line
//   .status                         status line
//   .footer.nav.{cancel,create,next,back}, .footer.done.{retry,dashboard,credentials,finish}
//   .area.canvas.content.page0 .. page3, entries .area.canvas.content.pageN.row_KEY.entry
// Variables: ::wizard::step_title ::wizard::status ::wizard::review ::wizard::advanced
//   ::wizard::desktop ::wizard::browser_trust ::wizard::trust_scope ::wizard::value(KEY)
//   ::wizard::legal_checked ::wizard::step ::wizard::busy (the last two mirror the wizard, read-only)
#pragma once

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>

#include "firstrun/legal_controls.h"
#include "tk/tcl_interpreter.h"

namespace halvenor::firstrun {
namespace wizard_ui {

inline constexpr char kHeader[] = ".header";
inline constexpr char kTitle[] = ".header.title";
inline constexpr char kStepLine[] = ".header.step";
inline constexpr char kStatus[] = ".status";
inline constexpr char kFooter[] = ".footer";
inline constexpr char kNav[] = ".footer.nav";
inline constexpr char kCancel[] = ".footer.nav.cancel";
inline constexpr char kCreate[] = ".footer.nav.create";
inline constexpr char kNext[] = ".footer.nav.next";
inline constexpr char kBack[] = ".footer.nav.back";
inline constexpr char kDone[] = ".footer.done";
inline constexpr char kArea[] = ".area";
inline constexpr char kCanvas[] = ".area.canvas";
inline constexpr char kScroll[] = ".area.scroll";
inline constexpr char kContent[] = ".area.canvas.content";

inline constexpr char kStepTitleVar[] = "::wizard::step_title";
inline constexpr char kStatusVar[] = "::wizard::status";
inline constexpr char kReviewVar[] = "::wizard::review";
inline constexpr char kAdvancedVar[] = "::wizard::advanced";
inline constexpr char kDesktopVar[] = "::wizard::desktop";
inline constexpr char kTrustVar[] = "::wizard::browser_trust";
inline constexpr char kScopeVar[] = "::wizard::trust_scope";

std::string value_var(const std::string& key);
std::string page_path(int index);

}  // namespace wizard_ui

// Builds the header, button bar, status line and scrolled area for a window
// `width` pixels wide, and binds the keys, the wheel and resizing to the
// ::wizard:: commands.
void build_frame(tk::TclInterpreter& tk, int width);

struct WizardPages {
  std::map<std::string, std::string> entries;  // field key -> entry widget
  std::unique_ptr<LegalControls> legal;
};

// Builds the four pages (hidden); on_legal_change runs whenever the
// agreement state changes.
WizardPages build_pages(tk::TclInterpreter& tk, const std::filesystem::path& legal_folder,
                        std::function<void()> on_legal_change);

}  // namespace halvenor::firstrun
