// The stand-in's view controller, view, DPI query and plug-in libraries, as the Windows
// program uses them.
#include <gtest/gtest.h>
#include <windows.h>

#include "engine/standin_control.h"
#include "standin_engine.h"

namespace {

using quillon::testing::StandinEngine;

void countFrame(void* userData) { ++*static_cast<int*>(userData); }

// A plain top-level window to adopt the view, as the program's host window does.
HWND createHostWindow() {
  static const wchar_t* kClass = [] {
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = DefWindowProcW;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = L"EngineViewTestHost";
    RegisterClassW(&windowClass);
    return L"EngineViewTestHost";
  }();
  return CreateWindowExW(0, kClass, L"host", WS_OVERLAPPEDWINDOW, 0, 0, 400, 300, nullptr, nullptr,
                         GetModuleHandleW(nullptr), nullptr);
}

TEST(EngineViewTest, TheViewIsAChildWindowOfTheRequestedSizeThatAHostCanAdopt) {
  StandinEngine engine;
  FlutterDesktopViewControllerRef controller =
      FlutterDesktopViewControllerCreate(320, 200, engine.release());
  ASSERT_NE(controller, nullptr);
  HWND view = FlutterDesktopViewGetHWND(FlutterDesktopViewControllerGetView(controller));
  ASSERT_TRUE(IsWindow(view));
  EXPECT_NE(GetWindowLongW(view, GWL_STYLE) & WS_CHILD, 0);
  RECT client{};
  GetClientRect(view, &client);
  EXPECT_EQ(client.right - client.left, 320);
  EXPECT_EQ(client.bottom - client.top, 200);

  HWND host = createHostWindow();
  ASSERT_NE(host, nullptr);
  SetParent(view, host);
  EXPECT_TRUE(IsChild(host, view));
  LRESULT result = 0;
  EXPECT_FALSE(FlutterDesktopViewControllerHandleTopLevelWindowProc(controller, host, WM_SIZE, 0, 0,
                                                                    &result));

  FlutterDesktopMessengerRef messenger = FlutterDesktopMessengerAddRef(
      FlutterDesktopEngineGetMessenger(standin::viewControllerEngine(controller)));
  EXPECT_TRUE(FlutterDesktopMessengerIsAvailable(messenger));
  // Destroying the controller takes the view and the engine with it.
  FlutterDesktopViewControllerDestroy(controller);
  EXPECT_FALSE(IsWindow(view));
  EXPECT_FALSE(FlutterDesktopMessengerIsAvailable(messenger));
  FlutterDesktopMessengerRelease(messenger);
  DestroyWindow(host);
}

TEST(EngineViewTest, ARedrawFiresTheNextFrameCallbackOnceThroughTheMessageLoop) {
  StandinEngine engine;
  FlutterDesktopViewControllerRef controller =
      FlutterDesktopViewControllerCreate(100, 100, engine.release());
  ASSERT_NE(controller, nullptr);
  FlutterDesktopEngineRef running = standin::viewControllerEngine(controller);
  int frames = 0;
  FlutterDesktopEngineSetNextFrameCallback(running, &countFrame, &frames);
  FlutterDesktopViewControllerForceRedraw(controller);
  EXPECT_EQ(frames, 0);  // not before the message loop runs
  // The program's own loop: GetMessage / DispatchMessage, bounded by a timer message.
  SetTimer(nullptr, 0, 2000, nullptr);
  MSG message;
  while (frames == 0 && GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (message.message == WM_TIMER && message.hwnd == nullptr) break;
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
  EXPECT_EQ(frames, 1);
  FlutterDesktopViewControllerForceRedraw(controller);
  standin::runPlatformTasks(100);
  EXPECT_EQ(frames, 1);  // the callback was used up
  FlutterDesktopViewControllerDestroy(controller);
}

TEST(EngineViewTest, ReportsMonitorDpiAnd96WhenUnknown) {
  EXPECT_EQ(FlutterDesktopGetDpiForMonitor(nullptr), 96u);
  HMONITOR monitor = MonitorFromPoint(POINT{0, 0}, MONITOR_DEFAULTTOPRIMARY);
  EXPECT_GE(FlutterDesktopGetDpiForMonitor(monitor), 96u);
}

TEST(EngineViewTest, PluginLibrariesRecordTheirRegistrationsInOrder) {
  StandinEngine engine;
  struct Plugin {
    const char* name;
    void (*registerWith)(FlutterDesktopPluginRegistrarRef);
    const char* function;
  };
  const Plugin plugins[] = {
      {"AppLinksPluginCApi", AppLinksPluginCApiRegisterWithRegistrar,
       "AppLinksPluginCApiRegisterWithRegistrar"},
      {"ScreenRetrieverPlugin", ScreenRetrieverPluginRegisterWithRegistrar,
       "ScreenRetrieverPluginRegisterWithRegistrar"},
      {"SystemTrayPlugin", SystemTrayPluginRegisterWithRegistrar,
       "SystemTrayPluginRegisterWithRegistrar"},
      {"UrlLauncherWindows", UrlLauncherWindowsRegisterWithRegistrar,
       "UrlLauncherWindowsRegisterWithRegistrar"},
      {"WindowManagerPlugin", WindowManagerPluginRegisterWithRegistrar,
       "WindowManagerPluginRegisterWithRegistrar"},
  };
  for (const Plugin& plugin : plugins) {
    plugin.registerWith(FlutterDesktopEngineGetPluginRegistrar(engine.get(), plugin.name));
  }
  auto registrations = standin::pluginRegistrations(engine.get());
  ASSERT_EQ(registrations.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(registrations[i].pluginName, plugins[i].name);
    EXPECT_EQ(registrations[i].function, plugins[i].function);
  }
}

}  // namespace
