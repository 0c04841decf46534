// The program's entry function: opens the log, puts back network settings a killed run left
// changed, prepares COM, describes the UI, creates the main window and runs the message loop
// until the window is closed. With "--restore-network" it only puts the settings back.
#include <windows.h>

#include <objbase.h>

#include <algorithm>
#include <string>
#include <vector>

#include "app/entrypoint_arguments.h"
#include "bridge/ui_project.h"
#include "log/app_log.h"
#include "system/network_settings.h"
#include "system/system_backends.h"
#include "window/flutter_window.h"

namespace {

// Where the main window appears and how large its client area is, in logical pixels.
constexpr quillon::Win32Window::Point kWindowOrigin{10, 10};
constexpr quillon::Win32Window::Size kWindowSize{350, 530};

// For a shortcut or an uninstaller: put the network settings back, then exit (0 when there was
// nothing to do or everything was put back, 1 otherwise) without starting the UI.
constexpr char kRestoreNetworkArgument[] = "--restore-network";

// The UI's compiled code and assets under `base`, a path the engine resolves itself.
flutter::UiProject uiProjectIn(const std::wstring& base) {
  flutter::UiProject project;
  project.assetsPath = base + L"\\flutter_assets";
  project.icuDataPath = base + L"\\icudtl.dat";
  project.aotLibraryPath = base + L"\\app.so";
  return project;
}

// Runs the message loop until a quit message arrives.
void runMessageLoop() {
  MSG message;
  // An error result (-1) does not end the loop; only the quit message does.
  while (GetMessageW(&message, nullptr, 0, 0) != 0) {
    TranslateMessage(&message);
    DispatchMessageW(&message);
  }
}

}  // namespace

int APIENTRY wWinMain(HINSTANCE, HINSTANCE, wchar_t*, int) {
  quillon::AppLog::open();
  std::vector<std::string> arguments = quillon::processEntrypointArguments();

  // The one owner of what this process changes on the machine, for the whole run: it first puts
  // back what a killed run left, then serves the window, which it outlives.
  quillon::NetworkSettings network(quillon::systemBackends());
  const quillon::NetworkRecovery recovery = network.restoreLeftover();
  if (std::find(arguments.begin(), arguments.end(), kRestoreNetworkArgument) != arguments.end()) {
    return recovery == quillon::NetworkRecovery::kFailed ? 1 : 0;
  }

  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  // Declared before the window, so the window object goes first at the end.
  flutter::UiProject project = uiProjectIn(L"data");
  project.entrypointArguments = std::move(arguments);

  quillon::FlutterWindow window(project, network);
  if (!window.createNativeWindow(L"Quillon", kWindowOrigin, kWindowSize)) return 1;
  window.setQuitOnClose(true);

  runMessageLoop();
  CoUninitialize();
  return 0;
}
