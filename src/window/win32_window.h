// The native top-level window that hosts the UI: a fixed-size window scaled to its monitor's
// DPI, a title bar that follows the user's light or dark app theme, one child window kept
// filling the client area, and the end of the message loop when the window is destroyed.
// Everything here runs on the thread that created the window.
#pragma once

#include <windows.h>

#include <optional>
#include <string>

namespace quillon {

// The name of the window class shared by every Win32Window.
inline constexpr const wchar_t* kWindowClassName = L"FLUTTER_RUNNER_WIN32_WINDOW";

// Resource number of the program's icon (group icon) used by the window class.
inline constexpr int kAppIconResourceId = 101;

// The scale of a monitor at `dpi` dots per inch relative to 96.
double dpiScale(UINT dpi);

// A logical length in physical pixels at `scale`; fractions are cut off toward zero, so
// 350 at 1.25 gives 437.
int scaleLength(int logical, double scale);

// The user's app theme preference: true when apps should be dark (AppsUseLightTheme is 0),
// false when light, nothing when the value is missing or not a 32-bit number.
std::optional<bool> readDarkModePreference();

// Sets the window's title bar to dark or light as readDarkModePreference() says; leaves it
// alone when the preference cannot be read.
void applyTitleBarTheme(HWND window);

class Win32Window {
 public:
  struct Point {
    int x;
    int y;
  };
  struct Size {
    int width;
    int height;
  };

  Win32Window();
  virtual ~Win32Window();
  Win32Window(const Win32Window&) = delete;
  Win32Window& operator=(const Win32Window&) = delete;

  // Creates the window hidden, with `origin` and `size` in logical pixels scaled to the DPI of
  // the monitor nearest the origin; a window created earlier by this object is destroyed
  // first. Returns true when the window exists and onWindowCreated() returned true. On a false
  // result from onWindowCreated() the window stays until closeNativeWindow() or destruction.
  bool createNativeWindow(const std::wstring& title, Point origin, Size size);

  // Shows the window in its normal state. Returns ShowWindow's answer as a boolean, which is
  // true only when the window was already visible before the call.
  bool showWindow();

  // Runs onWindowDestroyed(), destroys the window if there is one, and unregisters the window
  // class once no Win32Window object is left.
  void closeNativeWindow();

  // Makes `content` a child of this window, sizes it to fill the client area and focuses it.
  void attachContent(HWND content);

  // The client rectangle of the window (empty when there is no window).
  RECT clientArea() const;

  // When set, destroying the window posts a quit message with code 0.
  void setQuitOnClose(bool quitOnClose) { endLoopOnDestroy_ = quitOnClose; }

  // The top-level window, or null before creation and after destruction.
  HWND windowHandle() const { return windowHandle_; }

  // Number of Win32Window objects alive in the process.
  static int liveWindowCount();

  // How a monitor's DPI is found: the engine library's query unless a test has put another
  // one in its place (null puts the engine library's back).
  using MonitorDpiQuery = UINT (*)(HMONITOR monitor);
  static void setMonitorDpiQueryForTesting(MonitorDpiQuery query);

 protected:
  // Handles every message after WM_NCCREATE. Derived windows call this for what they do not
  // handle themselves.
  virtual LRESULT handleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  // Runs at the end of createNativeWindow(); a false result makes the creation fail.
  virtual bool onWindowCreated();

  // Runs whenever the window goes away (and on every closeNativeWindow()).
  virtual void onWindowDestroyed();

 private:
  static LRESULT CALLBACK windowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);

  // The outer size of a window with `style` whose client area is the requested size at the
  // DPI of `monitor`.
  Size outerSizeFor(HMONITOR monitor, DWORD style) const;

  bool endLoopOnDestroy_ = false;
  HWND windowHandle_ = nullptr;  // owned; cleared on WM_DESTROY
  HWND childContent_ = nullptr;  // not owned; destroyed with the window as its child
  Size requestedSize_{0, 0};     // logical, kept for the size limits
};

}  // namespace quillon
