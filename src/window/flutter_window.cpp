#include "window/flutter_window.h"

#include <optional>

#include "bridge/engine_api.h"

namespace quillon {

namespace {

struct UiPlugin {
  const char* name;
  void (*registerWithRegistrar)(FlutterDesktopPluginRegistrarRef registrar);
};

// The UI plug-ins in the order they are registered, each under the name the UI expects.
const UiPlugin kUiPlugins[] = {
    {"AppLinksPluginCApi", AppLinksPluginCApiRegisterWithRegistrar},
    {"ScreenRetrieverPlugin", ScreenRetrieverPluginRegisterWithRegistrar},
    {"SystemTrayPlugin", SystemTrayPluginRegisterWithRegistrar},
    {"UrlLauncherWindows", UrlLauncherWindowsRegisterWithRegistrar},
    {"WindowManagerPlugin", WindowManagerPluginRegisterWithRegistrar},
};

}  // namespace

FlutterWindow::FlutterWindow(const flutter::UiProject& project, NetworkSettings& network)
    : project_(project), state_(network) {}

FlutterWindow::~FlutterWindow() = default;

bool FlutterWindow::onWindowCreated() {
  if (!Win32Window::onWindowCreated()) return false;

  const RECT frame = clientArea();
  viewController_ = std::make_unique<flutter::FlutterViewController>(
      frame.right - frame.left, frame.bottom - frame.top, project_);
  flutter::FlutterEngine* engine = viewController_->engine();
  if (engine == nullptr || engine->messenger() == nullptr || viewController_->view() == nullptr) {
    return false;
  }

  registerUiPlugins(*engine);
  attachContent(viewController_->view()->childWindowHandle());
  state_.registerChannels(*engine->messenger());

  // The window stays hidden until the UI has drawn something to show.
  engine->setNextFrameCallback([this] { showWindow(); });
  viewController_->forceRedraw();
  return true;
}

LRESULT FlutterWindow::handleMessage(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (viewController_ != nullptr) {
    // Plug-ins such as the window manager and the tray see top-level messages this way.
    const std::optional<LRESULT> result =
        viewController_->handleTopLevelWindowProc(window, message, wparam, lparam);
    if (result) return *result;
  }
  if (message == WM_FONTCHANGE && viewController_ != nullptr &&
      viewController_->engine() != nullptr) {
    viewController_->engine()->reloadSystemFonts();
  }
  return Win32Window::handleMessage(window, message, wparam, lparam);
}

void FlutterWindow::onWindowDestroyed() {
  if (viewController_ == nullptr) return;
  // The messenger goes with the engine: no statistics push may reach it afterwards.
  state_.stopStatisticsPushes();
  viewController_ = nullptr;
}

void FlutterWindow::registerUiPlugins(flutter::PluginRegistry& registry) {
  for (const UiPlugin& plugin : kUiPlugins) {
    plugin.registerWithRegistrar(registry.pluginRegistrar(plugin.name));
  }
}

}  // namespace quillon
