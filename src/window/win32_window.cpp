#include "window/win32_window.h"

#include <dwmapi.h>

#include <exception>

#include "bridge/engine_api.h"
#include "log/app_log.h"

namespace quillon {

namespace {

constexpr DWORD kWindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;

// The immersive dark-mode window attribute of DWM (not named in older SDK headers).
constexpr DWORD kDwmUseImmersiveDarkMode = 20;

constexpr const wchar_t* kThemeKey =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize";
constexpr const wchar_t* kLightThemeValue = L"AppsUseLightTheme";

int liveWindows = 0;

Win32Window::MonitorDpiQuery monitorDpi = FlutterDesktopGetDpiForMonitor;

// Registers the window class on first use and unregisters it when the last window object is
// gone; created lazily, once per process.
class WindowClassRegistrar {
 public:
  static WindowClassRegistrar& instance() {
    static WindowClassRegistrar registrar;
    return registrar;
  }

  const wchar_t* windowClass(WNDPROC procedure) {
    if (!registered_) {
      WNDCLASSW windowClass{};
      windowClass.style = CS_HREDRAW | CS_VREDRAW;
      windowClass.lpfnWndProc = procedure;
      windowClass.hInstance = GetModuleHandleW(nullptr);
      windowClass.hIcon = LoadIconW(windowClass.hInstance, MAKEINTRESOURCEW(kAppIconResourceId));
      windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
      windowClass.lpszClassName = kWindowClassName;
      // A failed registration shows up as a failed CreateWindowExW.
      RegisterClassW(&windowClass);
      registered_ = true;
    }
    return kWindowClassName;
  }

  void unregisterWindowClass() {
    // No instance: the system takes the executable's own, with which the class was registered.
    UnregisterClassW(kWindowClassName, nullptr);
    registered_ = false;
  }

 private:
  WindowClassRegistrar() = default;
  bool registered_ = false;
};

// Lets the title bar and frame scale with the DPI on systems that offer it.
void enableNonClientDpiScaling(HWND window) {
  HMODULE user32 = LoadLibraryA("User32.dll");
  if (user32 == nullptr) return;
  using EnableNonClientDpiScalingFn = BOOL(WINAPI*)(HWND);
  auto enable = reinterpret_cast<EnableNonClientDpiScalingFn>(
      reinterpret_cast<void*>(GetProcAddress(user32, "EnableNonClientDpiScaling")));
  if (enable != nullptr) enable(window);
  FreeLibrary(user32);
}

}  // namespace

double dpiScale(UINT dpi) { return static_cast<double>(dpi) / 96.0; }

int scaleLength(int logical, double scale) { return static_cast<int>(logical * scale); }

std::optional<bool> readDarkModePreference() {
  DWORD value = 0;
  DWORD size = sizeof(value);
  const LSTATUS status = RegGetValueW(HKEY_CURRENT_USER, kThemeKey, kLightThemeValue,
                                      RRF_RT_REG_DWORD, nullptr, &value, &size);
  if (status != ERROR_SUCCESS) return std::nullopt;
  return value == 0;
}

void applyTitleBarTheme(HWND window) {
  const std::optional<bool> dark = readDarkModePreference();
  if (!dark) return;
  const BOOL enable = *dark ? TRUE : FALSE;
  DwmSetWindowAttribute(window, kDwmUseImmersiveDarkMode, &enable, sizeof(enable));
}

Win32Window::Win32Window() { ++liveWindows; }

Win32Window::~Win32Window() {
  --liveWindows;
  closeNativeWindow();
}

int Win32Window::liveWindowCount() { return liveWindows; }

void Win32Window::setMonitorDpiQueryForTesting(MonitorDpiQuery query) {
  monitorDpi = query != nullptr ? query : FlutterDesktopGetDpiForMonitor;
}

bool Win32Window::createNativeWindow(const std::wstring& title, Point origin, Size size) {
  closeNativeWindow();

  const wchar_t* windowClass = WindowClassRegistrar::instance().windowClass(windowProc);

  const POINT target{origin.x, origin.y};
  const HMONITOR monitor = MonitorFromPoint(target, MONITOR_DEFAULTTONEAREST);
  const double scale = dpiScale(monitorDpi(monitor));

  requestedSize_ = size;
  const Size outer = outerSizeFor(monitor, kWindowStyle);

  HWND window =
      CreateWindowExW(0, windowClass, title.c_str(), kWindowStyle, scaleLength(origin.x, scale),
                      scaleLength(origin.y, scale), outer.width, outer.height, nullptr, nullptr,
                      GetModuleHandleW(nullptr), this);
  if (window == nullptr) return false;

  applyTitleBarTheme(window);
  return onWindowCreated();
}

Win32Window::Size Win32Window::outerSizeFor(HMONITOR monitor, DWORD style) const {
  const double scale = dpiScale(monitorDpi(monitor));
  RECT frame{0, 0, scaleLength(requestedSize_.width, scale),
             scaleLength(requestedSize_.height, scale)};
  AdjustWindowRect(&frame, style, FALSE);
  return {frame.right - frame.left, frame.bottom - frame.top};
}

bool Win32Window::showWindow() { return ShowWindow(windowHandle_, SW_SHOWNORMAL) != 0; }

void Win32Window::closeNativeWindow() {
  onWindowDestroyed();
  if (windowHandle_ != nullptr) {
    DestroyWindow(windowHandle_);
    windowHandle_ = nullptr;
  }
  // The child went with its parent; a stale handle could later name an unrelated window.
  childContent_ = nullptr;
  if (liveWindows == 0) WindowClassRegistrar::instance().unregisterWindowClass();
}

void Win32Window::attachContent(HWND content) {
  childContent_ = content;
  SetParent(content, windowHandle_);
  const RECT frame = clientArea();
  MoveWindow(content, frame.left, frame.top, frame.right - frame.left, frame.bottom - frame.top,
             TRUE);
  SetFocus(content);
}

RECT Win32Window::clientArea() const {
  RECT frame{0, 0, 0, 0};
  if (windowHandle_ != nullptr) GetClientRect(windowHandle_, &frame);
  return frame;
}

bool Win32Window::onWindowCreated() { return true; }

void Win32Window::onWindowDestroyed() {}

LRESULT CALLBACK Win32Window::windowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTW*>(lparam);
    auto* self = static_cast<Win32Window*>(create->lpCreateParams);
    SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    enableNonClientDpiScaling(window);
    self->windowHandle_ = window;
    return DefWindowProcW(window, message, wparam, lparam);
  }
  auto* self = reinterpret_cast<Win32Window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
  if (self == nullptr) return DefWindowProcW(window, message, wparam, lparam);
  // Nothing may unwind into the system's message dispatch.
  try {
    return self->handleMessage(window, message, wparam, lparam);
  } catch (const std::exception& error) {
    logError("Window message ", static_cast<unsigned>(message), " failed: ", error.what());
  } catch (...) {
    logError("Window message ", static_cast<unsigned>(message), " failed");
  }
  return 0;
}

LRESULT Win32Window::handleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  switch (message) {
    case WM_DESTROY:
      windowHandle_ = nullptr;
      closeNativeWindow();
      if (endLoopOnDestroy_) PostQuitMessage(0);
      return 0;

    case WM_DPICHANGED: {
      const auto* suggested = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(window, nullptr, suggested->left, suggested->top,
                   suggested->right - suggested->left, suggested->bottom - suggested->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }

    case WM_SIZE:
      if (childContent_ != nullptr) {
        const RECT frame = clientArea();
        MoveWindow(childContent_, frame.left, frame.top, frame.right - frame.left,
                   frame.bottom - frame.top, TRUE);
      }
      return 0;

    case WM_ACTIVATE:
      if (childContent_ != nullptr) SetFocus(childContent_);
      return 0;

    case WM_GETMINMAXINFO: {
      const HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST);
      const auto style = static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE));
      const Size outer = outerSizeFor(monitor, style);
      auto* limits = reinterpret_cast<MINMAXINFO*>(lparam);
      limits->ptMinTrackSize = {outer.width, outer.height};
      limits->ptMaxTrackSize = {outer.width, outer.height};
      return 0;
    }

    case WM_DWMCOLORIZATIONCOLORCHANGED:
      applyTitleBarTheme(window);
      return 0;
  }
  return DefWindowProcW(window, message, wparam, lparam);
}

}  // namespace quillon
