// Internals of the engine stand-in shared between its engine and view files.
#ifndef QUILLON_ENGINE_ENGINE_INTERNAL_H_
#define QUILLON_ENGINE_ENGINE_INTERNAL_H_

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "bridge/engine_api.h"
#include "platform_tasks.h"
#include "standin_control.h"
#include "ui_link_server.h"

// An incoming message waiting for the program's answer.
struct FlutterDesktopMessageResponseHandle {
  std::function<void(const uint8_t*, size_t)> onReply;
};

namespace standin {

struct EngineState {
  // Set once at creation.
  std::vector<std::string> arguments;
  std::shared_ptr<PlatformTasks> tasks;
  std::unique_ptr<link::UiLinkServer> link;        // null unless the UI link was asked for
  FlutterDesktopMessengerRef messenger = nullptr;  // the engine holds one reference

  std::mutex mutex;
  // Guarded by mutex.
  bool running = true;
  std::map<std::string, std::pair<FlutterDesktopMessageCallback, void*>> callbacks;
  std::set<FlutterDesktopMessageResponseHandle*> pendingResponses;  // owned
  SendObserver observer;
  // The view's own look at every message the program sends (the control panel), on the sending
  // thread.
  std::function<void(const std::string& channel, const uint8_t* data, size_t size)> viewListener;
  std::vector<PluginRegistration> registrations;
  std::map<std::string, std::unique_ptr<FlutterDesktopPluginRegistrar>> registrars;
  FlutterDesktopOnNextFrameCallback nextFrame = nullptr;
  void* nextFrameData = nullptr;
  int fontReloads = 0;
};

// Platform thread. Schedules the next-frame callback (if one is set) to run once.
void requestNextFrame(FlutterDesktopEngineRef engine);

}  // namespace standin

struct FlutterDesktopEngine {
  std::shared_ptr<standin::EngineState> state;
};

struct FlutterDesktopMessenger {
  std::atomic<int> references{1};
  // Held by Lock/Unlock and by every operation that needs the engine alive; recursive because
  // the program calls SendResponse while holding it.
  std::recursive_mutex lock;
  std::shared_ptr<standin::EngineState> state;  // guarded by lock; null once the engine is gone
};

struct FlutterDesktopPluginRegistrar {
  std::string pluginName;
  std::weak_ptr<standin::EngineState> state;
};

#endif  // QUILLON_ENGINE_ENGINE_INTERNAL_H_
