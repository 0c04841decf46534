#include "echo_app_plugins.h"

#include "engine/standin_control.h"

const char* const kEchoAppPluginRecord =
    "[\"FirstPlugin:registerFirst\",\"SecondPlugin:registerSecond\"]";

// There are no plug-in libraries natively; record what their registration would.
void registerEchoAppPlugins(FlutterDesktopEngineRef engine) {
  StandinRecordPluginRegistration(FlutterDesktopEngineGetPluginRegistrar(engine, "FirstPlugin"),
                                  "registerFirst");
  StandinRecordPluginRegistration(FlutterDesktopEngineGetPluginRegistrar(engine, "SecondPlugin"),
                                  "registerSecond");
}
