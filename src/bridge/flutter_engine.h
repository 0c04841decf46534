// Owns one UI engine instance of the engine library, until it is handed to a view controller.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "bridge/binary_messenger.h"
#include "bridge/engine_api.h"
#include "bridge/plugin_registry.h"
#include "bridge/ui_project.h"

namespace flutter {

// Everything here runs on the platform thread.
class FlutterEngine : public PluginRegistry {
 public:
  // Creates the engine from `project`. When the library refuses (for example a missing assets
  // folder) the object has no engine handle and no messenger.
  explicit FlutterEngine(const UiProject& project);
  // Destroys the engine unless it was handed over; then releases the messenger.
  ~FlutterEngine() override;
  FlutterEngine(const FlutterEngine&) = delete;
  FlutterEngine& operator=(const FlutterEngine&) = delete;

  // Logs and returns null without an engine handle.
  FlutterDesktopPluginRegistrarRef pluginRegistrar(const std::string& pluginName) override;

  void reloadSystemFonts();

  // Runs `callback` once, on the platform thread, after the engine's next frame; replaces a
  // callback registered earlier that has not run yet.
  void setNextFrameCallback(std::function<void()> callback);

  // Gives the engine to a view controller, which then runs and destroys it. This object keeps
  // the handle (and its messenger) but no longer destroys the engine.
  FlutterDesktopEngineRef handOverEngine();

  // The messenger for channels; null without an engine handle.
  BinaryMessenger* messenger() const { return messenger_.get(); }
  FlutterDesktopEngineRef engineHandle() const { return engine_; }

 private:
  static void onNextFrame(void* userData);

  FlutterDesktopEngineRef engine_ = nullptr;  // kept after the hand-over
  std::unique_ptr<BinaryMessengerImpl> messenger_;
  bool ownsEngine_ = true;
  std::function<void()> nextFrameCallback_;
};

}  // namespace flutter
