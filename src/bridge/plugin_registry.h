// Hands out the engine library's registrar handles to UI plug-ins.
#pragma once

#include <string>

#include "bridge/engine_api.h"

namespace flutter {

class PluginRegistry {
 public:
  virtual ~PluginRegistry() = default;
  // The registrar for the plug-in named `pluginName`, or null when there is none.
  virtual FlutterDesktopPluginRegistrarRef pluginRegistrar(const std::string& pluginName) = 0;
};

}  // namespace flutter
