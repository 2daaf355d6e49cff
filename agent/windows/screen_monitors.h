// The monitors a critical alert must cover, in virtual-screen coordinates.
// Main thread only.
#pragma once

#include <windows.h>

#include <vector>

namespace halvenor::agent::win32 {

// Every monitor's whole area, the primary monitor first. Never empty: when
// the monitors cannot be listed, the primary screen's size stands in.
std::vector<RECT> monitor_areas();
RECT primary_monitor_area();
// The primary monitor without the taskbar.
RECT primary_work_area();

}  // namespace halvenor::agent::win32
