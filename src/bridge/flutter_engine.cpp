#include "bridge/flutter_engine.h"

#include <exception>
#include <utility>
#include <vector>

#include "log/app_log.h"

namespace flutter {

FlutterEngine::FlutterEngine(const UiProject& project) {
  std::vector<const char*> arguments;
  arguments.reserve(project.entrypointArguments.size());
  for (const std::string& argument : project.entrypointArguments) {
    arguments.push_back(argument.c_str());
  }
  FlutterDesktopEngineProperties properties{};
  properties.assets_path = project.assetsPath.c_str();
  properties.icu_data_path = project.icuDataPath.c_str();
  properties.aot_library_path = project.aotLibraryPath.c_str();
  properties.entrypoint = project.entrypoint.c_str();
  properties.entrypoint_argc = static_cast<int32_t>(arguments.size());
  properties.entrypoint_argv = arguments.empty() ? nullptr : arguments.data();
  engine_ = FlutterDesktopEngineCreate(&properties);
  if (engine_ != nullptr) {
    messenger_ = std::make_unique<BinaryMessengerImpl>(FlutterDesktopEngineGetMessenger(engine_));
  }
}

FlutterEngine::~FlutterEngine() {
  if (engine_ != nullptr && ownsEngine_) FlutterDesktopEngineDestroy(engine_);
  engine_ = nullptr;
  nextFrameCallback_ = nullptr;
  messenger_.reset();
}

FlutterDesktopPluginRegistrarRef FlutterEngine::pluginRegistrar(const std::string& pluginName) {
  if (engine_ == nullptr) {
    quillon::logError(
        "Cannot get plugin registrar on an engine that isn't running; call Run first.");
    return nullptr;
  }
  return FlutterDesktopEngineGetPluginRegistrar(engine_, pluginName.c_str());
}

void FlutterEngine::reloadSystemFonts() {
  if (engine_ != nullptr) FlutterDesktopEngineReloadSystemFonts(engine_);
}

void FlutterEngine::setNextFrameCallback(std::function<void()> callback) {
  nextFrameCallback_ = std::move(callback);
  if (engine_ != nullptr) FlutterDesktopEngineSetNextFrameCallback(engine_, &onNextFrame, this);
}

void FlutterEngine::onNextFrame(void* userData) {
  auto* self = static_cast<FlutterEngine*>(userData);
  // Emptied before it runs, so that the callback may register a new one.
  std::function<void()> callback = std::exchange(self->nextFrameCallback_, nullptr);
  if (!callback) return;
  try {
    callback();
  } catch (const std::exception& e) {
    quillon::logError("Unhandled exception in the next-frame callback: ", e.what());
  } catch (...) {
    quillon::logError("Unhandled exception in the next-frame callback");
  }
}

FlutterDesktopEngineRef FlutterEngine::handOverEngine() {
  ownsEngine_ = false;
  return engine_;
}

}  // namespace flutter
