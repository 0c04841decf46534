// Plug-in registration of the link test program: the five stand-in plug-in libraries on Windows,
// their recorded names elsewhere.
#pragma once

#include "bridge/engine_api.h"

void registerEchoAppPlugins(FlutterDesktopEngineRef engine);

// What the reserved query "standin/plugins" answers after registerEchoAppPlugins, as the UI
// driver prints the list.
extern const char* const kEchoAppPluginRecord;
