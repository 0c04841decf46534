// One stand-in plug-in library. Built once per plug-in with STANDIN_PLUGIN_FUNCTION naming its
// registration function; registering records the call in the engine.
#include "bridge/engine_api.h"
#include "standin_control.h"

#define STANDIN_TEXT(name) #name
#define STANDIN_NAME_OF(name) STANDIN_TEXT(name)

extern "C" void STANDIN_PLUGIN_FUNCTION(FlutterDesktopPluginRegistrarRef registrar) {
  StandinRecordPluginRegistration(registrar, STANDIN_NAME_OF(STANDIN_PLUGIN_FUNCTION));
}
