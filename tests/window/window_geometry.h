// A top-level window's placement as tests compare it: the outer origin on the screen and the
// size of the client area.
#pragma once

#include <windows.h>

#include <ostream>

namespace quillon::testing {

struct WindowGeometry {
  LONG x;
  LONG y;
  LONG clientWidth;
  LONG clientHeight;

  friend bool operator==(const WindowGeometry&, const WindowGeometry&) = default;
  friend std::ostream& operator<<(std::ostream& out, const WindowGeometry& g) {
    return out << "origin (" << g.x << ", " << g.y << "), client " << g.clientWidth << " x "
               << g.clientHeight;
  }
};

inline WindowGeometry geometryOf(HWND window) {
  RECT outer{};
  GetWindowRect(window, &outer);
  RECT client{};
  GetClientRect(window, &client);
  return {outer.left, outer.top, client.right - client.left, client.bottom - client.top};
}

}  // namespace quillon::testing
