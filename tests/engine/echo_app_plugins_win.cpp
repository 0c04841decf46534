#include "echo_app_plugins.h"

const char* const kEchoAppPluginRecord =
    "[\"AppLinksPluginCApi:AppLinksPluginCApiRegisterWithRegistrar\","
    "\"ScreenRetrieverPlugin:ScreenRetrieverPluginRegisterWithRegistrar\","
    "\"SystemTrayPlugin:SystemTrayPluginRegisterWithRegistrar\","
    "\"UrlLauncherWindows:UrlLauncherWindowsRegisterWithRegistrar\","
    "\"WindowManagerPlugin:WindowManagerPluginRegisterWithRegistrar\"]";

void registerEchoAppPlugins(FlutterDesktopEngineRef engine) {
  AppLinksPluginCApiRegisterWithRegistrar(
      FlutterDesktopEngineGetPluginRegistrar(engine, "AppLinksPluginCApi"));
  ScreenRetrieverPluginRegisterWithRegistrar(
      FlutterDesktopEngineGetPluginRegistrar(engine, "ScreenRetrieverPlugin"));
  SystemTrayPluginRegisterWithRegistrar(
      FlutterDesktopEngineGetPluginRegistrar(engine, "SystemTrayPlugin"));
  UrlLauncherWindowsRegisterWithRegistrar(
      FlutterDesktopEngineGetPluginRegistrar(engine, "UrlLauncherWindows"));
  WindowManagerPluginRegisterWithRegistrar(
      FlutterDesktopEngineGetPluginRegistrar(engine, "WindowManagerPlugin"));
}
