#include "firstrun/wizard_layout.h"

#include <algorithm>

namespace halvenor::firstrun {
namespace {

// Integer division rounding towards minus infinity, so that a window larger
// than the screen still lands at 0 after the max() below.
int floor_div(int a, int b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0); }

}  // namespace

WindowGeometry window_geometry(int screen_width, int screen_height) {
  WindowGeometry g;
  g.width = std::min(850, std::max(380, screen_width - 60));
  g.height = std::min(720, std::max(320, screen_height - 100));
  g.x = std::max(0, floor_div(screen_width - g.width, 2));
  g.y = std::max(0, floor_div(screen_height - g.height - 60, 2));
  g.min_width = std::min(620, g.width);
  g.min_height = std::min(460, g.height);
  return g;
}

int wrap_width(int canvas_width) { return std::max(240, canvas_width - 45); }

int wheel_lines(int delta) { return -(delta / 120); }

}  // namespace halvenor::firstrun
