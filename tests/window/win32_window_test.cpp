#include "window/win32_window.h"

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "scoped_user_value.h"
#include "window_geometry.h"

namespace quillon {
namespace {

using testing::geometryOf;
using testing::WindowGeometry;

// Every monitor reports this DPI while a test has installed fakeMonitorDpi.
UINT fakeDpi = 96;
UINT fakeMonitorDpi(HMONITOR) { return fakeDpi; }

void setFakeMonitorDpi(UINT dpi) {
  fakeDpi = dpi;
  Win32Window::setMonitorDpiQueryForTesting(fakeMonitorDpi);
}

// Records the hooks and can refuse creation.
class RecordingWindow : public Win32Window {
 public:
  bool acceptCreation = true;
  int createdCalls = 0;
  int destroyedCalls = 0;

 protected:
  bool onWindowCreated() override {
    ++createdCalls;
    return acceptCreation;
  }
  void onWindowDestroyed() override { ++destroyedCalls; }
};

bool classRegistered() {
  WNDCLASSW info{};
  return GetClassInfoW(GetModuleHandleW(nullptr), kWindowClassName, &info) != 0;
}

// Removes a pending quit message and reports whether there was one (and its code).
std::optional<WPARAM> takeQuitMessage() {
  MSG message{};
  if (PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE) == 0) return std::nullopt;
  return message.wParam;
}

SIZE clientSize(HWND window) {
  RECT frame{};
  GetClientRect(window, &frame);
  return {frame.right - frame.left, frame.bottom - frame.top};
}

class Win32WindowTest : public ::testing::Test {
 protected:
  // The engine library's own DPI query is used unless a test installs the fake; Wine's
  // default monitor is at 96 DPI.
  void TearDown() override {
    Win32Window::setMonitorDpiQueryForTesting(nullptr);
    while (takeQuitMessage()) {
    }
  }
};

TEST(DpiScaling, CutsFractionsTowardZero) {
  struct Row {
    UINT dpi;
    int logical;
    int expected;
  };
  const std::vector<Row> rows = {
      {96, 350, 350},  {96, 530, 530},  {144, 350, 525}, {144, 530, 795}, {144, 10, 15},
      {120, 350, 437}, {120, 530, 662}, {120, 10, 12},   {168, 350, 612}, {192, 530, 1060},
      {120, -5, -6},   {144, -10, -15}, {72, 350, 262},  {120, 0, 0},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(scaleLength(row.logical, dpiScale(row.dpi)), row.expected)
        << row.logical << " at " << row.dpi << " DPI";
  }
}

TEST_F(Win32WindowTest, CreatesHiddenFixedSizeWindowAt96Dpi) {
  RecordingWindow window;
  ASSERT_TRUE(window.createNativeWindow(L"Quillon", {10, 10}, {350, 530}));
  HWND handle = window.windowHandle();
  ASSERT_NE(handle, nullptr);
  EXPECT_EQ(window.createdCalls, 1);
  EXPECT_FALSE(IsWindowVisible(handle));

  EXPECT_EQ(geometryOf(handle), (WindowGeometry{10, 10, 350, 530}));
  const RECT area = window.clientArea();
  EXPECT_EQ(area.right - area.left, 350);
  EXPECT_EQ(area.bottom - area.top, 530);

  const auto style = static_cast<DWORD>(GetWindowLongW(handle, GWL_STYLE));
  EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX),
            static_cast<DWORD>(WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX));
  EXPECT_EQ(style & (WS_MAXIMIZEBOX | WS_THICKFRAME), 0u);

  wchar_t title[32] = {};
  GetWindowTextW(handle, title, 32);
  EXPECT_EQ(std::wstring(title), L"Quillon");

  wchar_t className[64] = {};
  GetClassNameW(handle, className, 64);
  EXPECT_EQ(std::wstring(className), kWindowClassName);

  // ShowWindow reports whether the window was visible before the call.
  EXPECT_FALSE(window.showWindow());
  EXPECT_TRUE(IsWindowVisible(handle));
  EXPECT_TRUE(window.showWindow());
}

TEST_F(Win32WindowTest, ScalesSizeAndOriginToTheMonitorDpi) {
  struct Row {
    UINT dpi;
    LONG width, height, x, y;
  };
  for (const Row& row : {Row{144, 525, 795, 15, 15}, Row{120, 437, 662, 12, 12}}) {
    setFakeMonitorDpi(row.dpi);
    RecordingWindow window;
    ASSERT_TRUE(window.createNativeWindow(L"Quillon", {10, 10}, {350, 530}));
    EXPECT_EQ(geometryOf(window.windowHandle()),
              (WindowGeometry{row.x, row.y, row.width, row.height}))
        << row.dpi;
  }
}

TEST_F(Win32WindowTest, SizeLimitsPinTheWindowToItsCreatedSize) {
  RecordingWindow window;
  ASSERT_TRUE(window.createNativeWindow(L"Quillon", {10, 10}, {350, 530}));
  RECT outer{};
  GetWindowRect(window.windowHandle(), &outer);

  MINMAXINFO limits{};
  limits.ptMinTrackSize = {1, 1};
  limits.ptMaxTrackSize = {5000, 5000};
  SendMessageW(window.windowHandle(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
  const POINT outerSize{outer.right - outer.left, outer.bottom - outer.top};
  EXPECT_EQ(limits.ptMinTrackSize.x, outerSize.x);
  EXPECT_EQ(limits.ptMinTrackSize.y, outerSize.y);
  EXPECT_EQ(limits.ptMaxTrackSize.x, outerSize.x);
  EXPECT_EQ(limits.ptMaxTrackSize.y, outerSize.y);

  // A programmatic resize is held to the same limits.
  SetWindowPos(window.windowHandle(), nullptr, 0, 0, 900, 900, SWP_NOMOVE | SWP_NOZORDER);
  const SIZE client = clientSize(window.windowHandle());
  EXPECT_EQ(client.cx, 350);
  EXPECT_EQ(client.cy, 530);
}

TEST_F(Win32WindowTest, ChildContentKeepsFillingTheClientArea) {
  RecordingWindow window;
  ASSERT_TRUE(window.createNativeWindow(L"Quillon", {10, 10}, {350, 530}));
  HWND child = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, 20, 20, nullptr, nullptr,
                               GetModuleHandleW(nullptr), nullptr);
  ASSERT_NE(child, nullptr);
  SetWindowLongW(child, GWL_STYLE, WS_CHILD | WS_VISIBLE);

  window.attachContent(child);
  EXPECT_EQ(GetParent(child), window.windowHandle());
  SIZE size = clientSize(child);
  EXPECT_EQ(size.cx, 350);
  EXPECT_EQ(size.cy, 530);

  MoveWindow(child, 5, 5, 10, 10, FALSE);
  SendMessageW(window.windowHandle(), WM_SIZE, SIZE_RESTORED, MAKELPARAM(350, 530));
  RECT placed{};
  GetWindowRect(child, &placed);
  POINT topLeft{placed.left, placed.top};
  ScreenToClient(window.windowHandle(), &topLeft);
  EXPECT_EQ(topLeft.x, 0);
  EXPECT_EQ(topLeft.y, 0);
  size = clientSize(child);
  EXPECT_EQ(size.cx, 350);
  EXPECT_EQ(size.cy, 530);

  // The child goes with its parent.
  window.closeNativeWindow();
  EXPECT_FALSE(IsWindow(child));
}

TEST_F(Win32WindowTest, DestroyingTheWindowEndsTheLoopOnlyWhenAsked) {
  for (const bool quitOnClose : {true, false}) {
    RecordingWindow window;
    window.setQuitOnClose(quitOnClose);
    ASSERT_TRUE(window.createNativeWindow(L"Quillon", {10, 10}, {350, 530}));
    const int destroyedBefore = window.destroyedCalls;
    HWND handle = window.windowHandle();

    DestroyWindow(handle);
    EXPECT_EQ(window.windowHandle(), nullptr);
    EXPECT_FALSE(IsWindow(handle));
    EXPECT_EQ(window.destroyedCalls, destroyedBefore + 1);

    const std::optional<WPARAM> quit = takeQuitMessage();
    if (quitOnClose) {
      ASSERT_TRUE(quit.has_value());
      EXPECT_EQ(*quit, 0u);
    } else {
      EXPECT_FALSE(quit.has_value());
    }
  }
}

TEST_F(Win32WindowTest, CloseSendsNoQuitAndRefusedCreationFails) {
  RecordingWindow window;
  window.acceptCreation = false;
  EXPECT_FALSE(window.createNativeWindow(L"Quillon", {10, 10}, {350, 530}));
  EXPECT_EQ(window.createdCalls, 1);
  // The window itself exists until it is closed.
  HWND handle = window.windowHandle();
  ASSERT_NE(handle, nullptr);
  window.closeNativeWindow();
  EXPECT_FALSE(IsWindow(handle));
  EXPECT_EQ(window.windowHandle(), nullptr);
  EXPECT_FALSE(takeQuitMessage().has_value());
}

TEST_F(Win32WindowTest, CreatingAgainReplacesTheEarlierWindow) {
  RecordingWindow window;
  ASSERT_TRUE(window.createNativeWindow(L"first", {10, 10}, {350, 530}));
  HWND first = window.windowHandle();
  ASSERT_TRUE(window.createNativeWindow(L"second", {20, 20}, {200, 100}));
  EXPECT_FALSE(IsWindow(first));
  EXPECT_TRUE(IsWindow(window.windowHandle()));
  const SIZE client = clientSize(window.windowHandle());
  EXPECT_EQ(client.cx, 200);
  EXPECT_EQ(client.cy, 100);
}

TEST_F(Win32WindowTest, ClassLivesUntilTheLastWindowObjectIsGone) {
  const int before = Win32Window::liveWindowCount();
  ASSERT_EQ(before, 0);
  {
    RecordingWindow first;
    auto second = std::make_unique<RecordingWindow>();
    EXPECT_EQ(Win32Window::liveWindowCount(), 2);
    ASSERT_TRUE(first.createNativeWindow(L"one", {10, 10}, {100, 100}));
    ASSERT_TRUE(second->createNativeWindow(L"two", {10, 10}, {100, 100}));
    EXPECT_TRUE(classRegistered());

    second.reset();
    EXPECT_EQ(Win32Window::liveWindowCount(), 1);
    EXPECT_TRUE(classRegistered());
    // Closing the window of a live object keeps the class.
    first.closeNativeWindow();
    EXPECT_TRUE(classRegistered());
    ASSERT_TRUE(first.createNativeWindow(L"again", {10, 10}, {100, 100}));
  }
  EXPECT_EQ(Win32Window::liveWindowCount(), 0);
  EXPECT_FALSE(classRegistered());

  // The class is registered again for the next window.
  RecordingWindow next;
  EXPECT_TRUE(next.createNativeWindow(L"next", {10, 10}, {100, 100}));
}

TEST(ThemePreference, FollowsTheUsersAppTheme) {
  testing::ScopedUserValue theme(
      L"Software\\Microsoft\\Windows\\CurrentVersion\\Themes\\Personalize", L"AppsUseLightTheme");
  ASSERT_TRUE(theme.setNumber(0));
  EXPECT_EQ(readDarkModePreference(), std::optional<bool>(true));
  ASSERT_TRUE(theme.setNumber(1));
  EXPECT_EQ(readDarkModePreference(), std::optional<bool>(false));
  ASSERT_TRUE(theme.setNumber(2));
  EXPECT_EQ(readDarkModePreference(), std::optional<bool>(false));
  ASSERT_TRUE(theme.setText(L"0"));
  EXPECT_EQ(readDarkModePreference(), std::nullopt);
  theme.remove();
  EXPECT_EQ(readDarkModePreference(), std::nullopt);
}

}  // namespace
}  // namespace quillon
