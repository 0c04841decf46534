// The main window with the engine stand-in: view hosting, plug-ins, channels, first-frame show,
// message forwarding and release of the engine.
#include "window/flutter_window.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "bridge/encodable_value.h"
#include "bridge/method_call.h"
#include "bridge/standard_method_codec.h"
#include "engine/standin_control.h"
#include "log_capture.h"
#include "temp_dir.h"

namespace quillon {
namespace {

using testing::LogCapture;
using testing::TempDir;

// The owner of the network settings, on the machine's backends (Wine's prefix here).
NetworkSettings& machineNetwork() {
  static NetworkSettings network(systemBackends());
  return network;
}

// A UI project whose assets folder exists (with_assets) or not.
flutter::UiProject projectIn(const TempDir& dir, bool withAssets,
                             std::vector<std::string> arguments = {}) {
  const std::filesystem::path base(dir.path());
  if (withAssets) std::filesystem::create_directories(base / "flutter_assets");
  flutter::UiProject project;
  project.assetsPath = (base / "flutter_assets").wstring();
  project.icuDataPath = (base / "icudtl.dat").wstring();
  project.aotLibraryPath = (base / "app.so").wstring();
  project.entrypointArguments = std::move(arguments);
  return project;
}

FlutterDesktopEngineRef engineOf(FlutterWindow& window) {
  return window.viewController()->engine()->engineHandle();
}

// Runs platform work until `done` holds or two seconds have passed.
template <typename Condition>
bool pumpUntil(Condition done) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    standin::runPlatformTasks(20);
  }
  return true;
}

TEST(FlutterWindow, HostsTheViewAndShowsTheWindowAtTheFirstFrame) {
  TempDir dir;
  LogCapture log;
  FlutterWindow window(projectIn(dir, true, {"one", ""}), machineNetwork());
  ASSERT_EQ(log.lines().size(), 1u);
  EXPECT_TRUE(std::regex_match(
      log.lines()[0],
      std::regex(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\] FlutterWindow initialized)")))
      << log.lines()[0];

  ASSERT_TRUE(window.createNativeWindow(L"Quillon", {10, 10}, {350, 530}));
  HWND handle = window.windowHandle();
  EXPECT_FALSE(IsWindowVisible(handle));
  EXPECT_TRUE(log.contains("Method Channels\xe5\xb7\xb2\xe8\xae\xbe\xe7\xbd\xae"));

  // The view is the window's content and fills its client area.
  HWND view = window.viewController()->view()->childWindowHandle();
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(GetParent(view), handle);
  RECT viewArea{};
  GetClientRect(view, &viewArea);
  EXPECT_EQ(viewArea.right, 350);
  EXPECT_EQ(viewArea.bottom, 530);

  // The plug-ins in their fixed order, each under its name.
  const FlutterDesktopEngineRef engine = engineOf(window);
  const std::vector<std::pair<std::string, std::string>> expected = {
      {"AppLinksPluginCApi", "AppLinksPluginCApiRegisterWithRegistrar"},
      {"ScreenRetrieverPlugin", "ScreenRetrieverPluginRegisterWithRegistrar"},
      {"SystemTrayPlugin", "SystemTrayPluginRegisterWithRegistrar"},
      {"UrlLauncherWindows", "UrlLauncherWindowsRegisterWithRegistrar"},
      {"WindowManagerPlugin", "WindowManagerPluginRegisterWithRegistrar"},
  };
  std::vector<std::pair<std::string, std::string>> registered;
  for (const standin::PluginRegistration& r : standin::pluginRegistrations(engine)) {
    registered.emplace_back(r.pluginName, r.function);
  }
  EXPECT_EQ(registered, expected);
  EXPECT_EQ(standin::entrypointArguments(engine), (std::vector<std::string>{"one", ""}));

  // Shown once the first frame is drawn.
  EXPECT_TRUE(pumpUntil([&] { return IsWindowVisible(handle) != 0; }));
  EXPECT_FALSE(IsIconic(handle));
}

TEST(FlutterWindow, AnswersChannelCallsWhileTheWindowLives) {
  TempDir dir;
  LogCapture log;
  FlutterWindow window(projectIn(dir, true), machineNetwork());
  ASSERT_TRUE(window.createNativeWindow(L"Quillon", {10, 10}, {350, 530}));

  const auto& codec = flutter::StandardMethodCodec::instance();
  std::optional<std::vector<uint8_t>> reply;
  standin::postToProgram(
      engineOf(window), "com.quillon.app/vpn",
      codec.encodeMethodCall(flutter::MethodCall("isVpnConnected", {})),
      [&](const uint8_t* data, size_t size) { reply = std::vector<uint8_t>(data, data + size); });
  ASSERT_TRUE(pumpUntil([&] { return reply.has_value(); }));
  const flutter::EncodableValue no(false);
  EXPECT_EQ(*reply, codec.encodeSuccessEnvelope(&no));
}

TEST(FlutterWindow, OffersMessagesToTheEngineAndReloadsFontsOnAFontChange) {
  TempDir dir;
  LogCapture log;
  FlutterWindow window(projectIn(dir, true), machineNetwork());
  ASSERT_TRUE(window.createNativeWindow(L"Quillon", {10, 10}, {350, 530}));
  const FlutterDesktopEngineRef engine = engineOf(window);
  EXPECT_EQ(standin::fontReloadCount(engine), 0);
  SendMessageW(window.windowHandle(), WM_FONTCHANGE, 0, 0);
  SendMessageW(window.windowHandle(), WM_FONTCHANGE, 0, 0);
  EXPECT_EQ(standin::fontReloadCount(engine), 2);

  // The base handler still keeps the size limits.
  MINMAXINFO limits{};
  SendMessageW(window.windowHandle(), WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&limits));
  RECT outer{};
  GetWindowRect(window.windowHandle(), &outer);
  EXPECT_EQ(limits.ptMaxTrackSize.x, outer.right - outer.left);
}

TEST(FlutterWindow, DestroyingTheWindowReleasesTheEngineBeforeTheObjectGoes) {
  TempDir dir;
  LogCapture log;
  FlutterWindow window(projectIn(dir, true), machineNetwork());
  window.setQuitOnClose(true);
  ASSERT_TRUE(window.createNativeWindow(L"Quillon", {10, 10}, {350, 530}));
  HWND view = window.viewController()->view()->childWindowHandle();

  DestroyWindow(window.windowHandle());
  EXPECT_EQ(window.viewController(), nullptr);
  EXPECT_EQ(window.windowHandle(), nullptr);
  EXPECT_FALSE(IsWindow(view));
  MSG quit{};
  EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
}

TEST(FlutterWindow, CreationFailsWithoutTheUiAssets) {
  TempDir dir;
  LogCapture log;
  FlutterWindow window(projectIn(dir, false), machineNetwork());
  EXPECT_FALSE(window.createNativeWindow(L"Quillon", {10, 10}, {350, 530}));
  EXPECT_TRUE(log.contains("Failed to create view controller."));
  EXPECT_FALSE(log.contains("Method Channels\xe5\xb7\xb2\xe8\xae\xbe\xe7\xbd\xae"));
  if (window.windowHandle() != nullptr) {
    EXPECT_FALSE(IsWindowVisible(window.windowHandle()));
  }
}

}  // namespace
}  // namespace quillon
