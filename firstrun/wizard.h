// The first-install window: four steps that collect the installation
// choices, a confirmation, the installation on a worker thread, then a
// second worker that starts the server and opens the dashboard.
//
// The window thread never blocks on the workers: they post to an event
// queue that the window drains every 200 milliseconds.
//
// Hooks for the window tests (never set in normal use):
//   HALVENOR_WIZARD_AUTO_CONFIRM=yes|no  answers the confirmation question
//       and makes error and information dialogs non-blocking (tk_dialogs.h).
//   HALVENOR_WIZARD_SCRIPT=FILE  a Tcl file sourced once the window is built;
//       it may drive the window with `event generate` and read the widgets.
//       Widget paths and the ::wizard:: variables are listed in wizard_widgets.h.
//   HALVENOR_WIZARD_OPEN_WINDOWS=0  the finisher starts the server but opens
//       neither the dashboard nor the credential file.
#pragma once

#include <filesystem>

namespace halvenor::firstrun {

// Runs the Tk window until it is closed; returns the process exit status.
int run_wizard(const std::filesystem::path& source);

}  // namespace halvenor::firstrun
