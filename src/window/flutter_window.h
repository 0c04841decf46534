// The main window: hosts the UI engine's view in a Win32Window, registers the UI plug-ins and
// owns the application state behind the two method channels (Windows only).
#pragma once

#include <windows.h>

#include <memory>

#include "bridge/flutter_view_controller.h"
#include "bridge/plugin_registry.h"
#include "bridge/ui_project.h"
#include "channels/app_state.h"
#include "system/network_settings.h"
#include "window/win32_window.h"

namespace quillon {

class FlutterWindow : public Win32Window {
 public:
  // Keeps a copy of `project` for the engine and sets up the application state (which writes
  // the "FlutterWindow initialized" line). System settings are changed through `network`, the
  // owner of what this process changed on the machine, which must outlive the window.
  FlutterWindow(const flutter::UiProject& project, NetworkSettings& network);

  // The application state restores the proxy, PAC and DNS settings and goes before the view
  // controller, whose engine lends the channels their messenger.
  ~FlutterWindow() override;

  // The application state, for tests.
  AppState& appState() { return state_; }

  // The running view controller, or null before creation and after the window is destroyed.
  flutter::FlutterViewController* viewController() { return viewController_.get(); }

 protected:
  // Starts the engine and its view at the client size, registers the plug-ins, makes the view
  // the window's content, registers the channels and shows the window at the first frame.
  // False when the view controller could not be created.
  bool onWindowCreated() override;

  // Offers every message to the engine first; a font change also reloads the engine's fonts.
  LRESULT handleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) override;

  // Closes the statistics push and releases the view controller with its engine.
  void onWindowDestroyed() override;

 private:
  // Registers the five UI plug-ins with `registry`, in their fixed order.
  static void registerUiPlugins(flutter::PluginRegistry& registry);

  flutter::UiProject project_;
  std::unique_ptr<flutter::FlutterViewController> viewController_;
  // Declared after the view controller so that it is destroyed before it.
  AppState state_;
};

}  // namespace quillon
