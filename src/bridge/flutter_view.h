// The engine's view: a child window that shows the UI. Windows only.
#pragma once

#include <windows.h>

#include "bridge/engine_api.h"

namespace flutter {

class FlutterView {
 public:
  explicit FlutterView(FlutterDesktopViewRef view) : view_(view) {}
  virtual ~FlutterView() = default;
  FlutterView(const FlutterView&) = delete;
  FlutterView& operator=(const FlutterView&) = delete;

  // The view's native child window.
  HWND childWindowHandle() const { return FlutterDesktopViewGetHWND(view_); }

 private:
  FlutterDesktopViewRef view_;  // owned by the view controller
};

}  // namespace flutter
