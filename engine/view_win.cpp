// The view controller and view of the engine stand-in: a plain child window standing where the
// UI would draw. A redraw request produces the "first frame" by running the engine's next-frame
// callback once on the platform thread.
#include <windows.h>
// shellscalingapi.h needs the basic Windows types first.
#include <shellscalingapi.h>

#include <mutex>

#include "engine_internal.h"
#include "module_win.h"
#include "ui_panel_win.h"

struct FlutterDesktopView {
  HWND window = nullptr;  // owned by the view controller
};

struct FlutterDesktopViewController {
  FlutterDesktopEngineRef engine = nullptr;  // owned
  FlutterDesktopView view;
  std::unique_ptr<standin::UiPanel> panel;  // a child of the view window
};

namespace {

constexpr wchar_t kViewClass[] = L"StandinViewWindow";

LRESULT CALLBACK viewWindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  // The control panel fills the view.
  if (message == WM_SIZE) {
    if (HWND panel = GetWindow(hwnd, GW_CHILD)) {
      MoveWindow(panel, 0, 0, LOWORD(lparam), HIWORD(lparam), TRUE);
    }
    return 0;
  }
  return DefWindowProcW(hwnd, message, wparam, lparam);
}

bool registerViewClass() {
  static std::once_flag once;
  static bool registered = false;
  std::call_once(once, [] {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = &viewWindowProc;
    windowClass.hInstance = standin::thisModule();
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    windowClass.lpszClassName = kViewClass;
    registered = RegisterClassW(&windowClass) != 0;
  });
  return registered;
}

}  // namespace

namespace standin {

FlutterDesktopEngineRef viewControllerEngine(FlutterDesktopViewControllerRef controller) {
  return controller == nullptr ? nullptr : controller->engine;
}

}  // namespace standin

extern "C" {

FlutterDesktopViewControllerRef FlutterDesktopViewControllerCreate(int width, int height,
                                                                   FlutterDesktopEngineRef engine) {
  if (engine == nullptr) return nullptr;
  // The view is a child window from the start; until the host adopts it (SetParent) it hangs
  // under the message-only parent, where it is never shown.
  HWND window =
      registerViewClass()
          ? CreateWindowExW(0, kViewClass, L"", WS_CHILD | WS_VISIBLE | WS_CLIPCHILDREN, 0, 0,
                            width, height, HWND_MESSAGE, nullptr, standin::thisModule(), nullptr)
          : nullptr;
  if (window == nullptr) {
    // The engine was handed over with the call; nobody else will end it.
    FlutterDesktopEngineDestroy(engine);
    return nullptr;
  }
  auto* controller = new FlutterDesktopViewController;
  controller->engine = engine;
  controller->view.window = window;
  // Without the panel the view is still usable through the UI link.
  controller->panel =
      standin::UiPanel::create(window, engine, standin::entrypointArguments(engine));
  return controller;
}

void FlutterDesktopViewControllerDestroy(FlutterDesktopViewControllerRef controller) {
  if (controller == nullptr) return;
  controller->panel.reset();
  DestroyWindow(controller->view.window);
  FlutterDesktopEngineDestroy(controller->engine);
  delete controller;
}

FlutterDesktopViewRef FlutterDesktopViewControllerGetView(
    FlutterDesktopViewControllerRef controller) {
  return controller == nullptr ? nullptr : &controller->view;
}

void FlutterDesktopViewControllerForceRedraw(FlutterDesktopViewControllerRef controller) {
  if (controller == nullptr) return;
  InvalidateRect(controller->view.window, nullptr, TRUE);
  standin::requestNextFrame(controller->engine);
  if (controller->panel) controller->panel->afterNextFrame();
}

bool FlutterDesktopViewControllerHandleTopLevelWindowProc(
    FlutterDesktopViewControllerRef controller, HWND hwnd, UINT message, WPARAM wparam,
    LPARAM lparam, LRESULT* result) {
  // No plug-in of the stand-in claims a top-level window message.
  (void)controller;
  (void)hwnd;
  (void)message;
  (void)wparam;
  (void)lparam;
  (void)result;
  return false;
}

HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef view) {
  return view == nullptr ? nullptr : view->window;
}

UINT FlutterDesktopGetDpiForMonitor(HMONITOR monitor) {
  UINT dpiX = 0;
  UINT dpiY = 0;
  if (monitor == nullptr || GetDpiForMonitor(monitor, MDT_EFFECTIVE_DPI, &dpiX, &dpiY) != S_OK ||
      dpiX == 0) {
    return 96;
  }
  return dpiX;
}

}  // extern "C"
