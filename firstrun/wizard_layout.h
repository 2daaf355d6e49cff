// Size, place and text wrapping of the first-install window, computed from
// the screen so that the window fits small screens and never grows past a
// comfortable reading size on large ones.
#pragma once

namespace halvenor::firstrun {

struct WindowGeometry {
  int width = 0;
  int height = 0;
  int x = 0;
  int y = 0;
  int min_width = 0;
  int min_height = 0;
};

// For a screen of screen_width x screen_height pixels. The window sits
// centred, raised by 30 pixels to leave room for a task bar.
WindowGeometry window_geometry(int screen_width, int screen_height);

// Wrap width of the header, status and page labels for a scroll area this wide.
int wrap_width(int canvas_width);

// Lines to scroll for a mouse-wheel delta (120 a notch; partial notches of
// precise touch pads are dropped rather than rounded up).
int wheel_lines(int delta);

}  // namespace halvenor::firstrun
