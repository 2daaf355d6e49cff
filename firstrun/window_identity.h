// How the desktop shell recognises the first-install window: the process's
// identity (on X11 the WM_CLASS and Tk application name) and its icon.
#pragma once

#include <filesystem>
#include <string>

#include "tk/tcl_interpreter.h"

namespace halvenor::firstrun {

// Records the identity that windows created afterwards carry. Call once,
// before the window exists.
void process_identity(const std::string& name);

// The recorded identity; empty when none was set.
std::string current_identity();

// Gives `window` the icon of `role` from the assets folder: the file
// "halvenor-communications-<role>.png", else the first PNG file found there.
// A missing or unreadable icon leaves the window's default icon; never throws.
void window_icon(tk::TclInterpreter& tk, const std::string& window, const std::string& role,
                 const std::filesystem::path& assets_folder);

// The icon file window_icon would use; empty when there is none.
std::filesystem::path icon_file(const std::string& role, const std::filesystem::path& assets_folder);

}  // namespace halvenor::firstrun
