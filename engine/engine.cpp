// The engine and messenger functions of the stand-in, and its control interface.
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <utility>

#include "engine_internal.h"
#include "executable_folder.h"
#include "panel_codec.h"

namespace standin {
namespace {

constexpr char kUiLinkArgument[] = "--ui-link=";
constexpr char kPluginsChannel[] = "standin/plugins";
constexpr char kArgumentsChannel[] = "standin/arguments";

// A relative path of the project names a place beside the executable, wherever the process was
// started from (a shortcut may give it another working folder), as the real engine takes it.
bool isDirectory(const wchar_t* path) {
  if (path == nullptr || *path == L'\0') return false;
  try {
    std::filesystem::path resolved{std::wstring(path)};
    if (resolved.is_relative()) resolved = executableFolder() / resolved;
    std::error_code error;
    return std::filesystem::is_directory(resolved, error);
  } catch (...) {
    return false;  // a path that cannot be converted names no folder here
  }
}

std::optional<std::vector<uint8_t>> reservedReply(EngineState& state, const std::string& channel) {
  std::vector<std::string> texts;
  if (channel == kPluginsChannel) {
    std::lock_guard<std::mutex> lock(state.mutex);
    for (const PluginRegistration& entry : state.registrations) {
      texts.push_back(entry.pluginName + ":" + entry.function);
    }
  } else if (channel == kArgumentsChannel) {
    texts = state.arguments;
  } else {
    return std::nullopt;
  }
  return standin::panel::encodeStringListReply(texts);
}

// Queues a message for the program's callback on `channel`; see standin::postToProgram.
void deliverToProgram(const std::shared_ptr<EngineState>& state, const std::string& channel,
                      std::vector<uint8_t> message,
                      std::function<void(const uint8_t*, size_t)> onReply) {
  std::weak_ptr<EngineState> weak = state;
  state->tasks->post(
      [weak, channel, message = std::move(message), onReply = std::move(onReply)]() mutable {
        std::shared_ptr<EngineState> state = weak.lock();
        if (!state) return;
        FlutterDesktopMessageCallback callback = nullptr;
        void* userData = nullptr;
        FlutterDesktopMessageResponseHandle* handle = nullptr;
        {
          std::lock_guard<std::mutex> lock(state->mutex);
          if (!state->running) return;
          auto found = state->callbacks.find(channel);
          if (found != state->callbacks.end()) {
            callback = found->second.first;
            userData = found->second.second;
            handle = new FlutterDesktopMessageResponseHandle{std::move(onReply)};
            state->pendingResponses.insert(handle);
          }
        }
        if (callback == nullptr) {
          // Nobody listens on the channel: the UI side sees an empty answer.
          if (onReply) onReply(nullptr, 0);
          return;
        }
        FlutterDesktopMessage delivered{sizeof(FlutterDesktopMessage), channel.c_str(),
                                        message.data(), message.size(), handle};
        callback(state->messenger, &delivered, userData);
      });
}

// The answer to one SendWithReply: the program's reply callback runs at most once, on the
// platform thread, and not at all once the engine is gone.
std::function<void(std::vector<uint8_t>)> replyToProgram(const std::shared_ptr<EngineState>& state,
                                                         FlutterDesktopBinaryReply reply,
                                                         void* userData) {
  std::weak_ptr<EngineState> weak = state;
  auto answered = std::make_shared<std::atomic<bool>>(false);
  return [weak, reply, userData, answered](std::vector<uint8_t> bytes) {
    if (answered->exchange(true)) return;
    std::shared_ptr<EngineState> state = weak.lock();
    if (!state) return;
    state->tasks->post([weak, reply, userData, bytes = std::move(bytes)] {
      std::shared_ptr<EngineState> state = weak.lock();
      if (!state) return;
      {
        std::lock_guard<std::mutex> lock(state->mutex);
        if (!state->running) return;
      }
      if (reply != nullptr) reply(bytes.data(), bytes.size(), userData);
    });
  };
}

bool sendToUi(FlutterDesktopMessengerRef messenger, const char* channel, const uint8_t* data,
              size_t size, FlutterDesktopBinaryReply reply, void* userData, bool wantsReply) {
  if (messenger == nullptr || channel == nullptr || (data == nullptr && size > 0)) return false;
  std::lock_guard<std::recursive_mutex> hold(messenger->lock);
  std::shared_ptr<EngineState> state = messenger->state;
  if (!state) return false;
  SendObserver observer;
  std::function<void(const std::string&, const uint8_t*, size_t)> viewListener;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    observer = state->observer;
    viewListener = state->viewListener;
  }
  if (viewListener) viewListener(channel, data, size);
  std::function<void(std::vector<uint8_t>)> respond;
  if (wantsReply) respond = replyToProgram(state, reply, userData);
  if (state->link) state->link->broadcast(channel, data, size);
  if (observer) {
    observer(channel, std::vector<uint8_t>(data, data + size), respond);
  } else if (respond) {
    respond({});
  }
  return true;
}

}  // namespace

void requestNextFrame(FlutterDesktopEngineRef engine) {
  std::weak_ptr<EngineState> weak = engine->state;
  engine->state->tasks->post([weak] {
    std::shared_ptr<EngineState> state = weak.lock();
    if (!state) return;
    FlutterDesktopOnNextFrameCallback callback;
    void* userData;
    {
      std::lock_guard<std::mutex> lock(state->mutex);
      if (!state->running) return;
      callback = std::exchange(state->nextFrame, nullptr);
      userData = state->nextFrameData;
    }
    if (callback != nullptr) callback(userData);
  });
}

void postToProgram(FlutterDesktopEngineRef engine, const std::string& channel,
                   std::vector<uint8_t> message,
                   std::function<void(const uint8_t* data, size_t size)> onReply) {
  if (engine == nullptr) return;
  deliverToProgram(engine->state, channel, std::move(message), std::move(onReply));
}

int runPlatformTasks(int timeoutMs) { return runQueuedPlatformTasks(timeoutMs); }

void setSendObserver(FlutterDesktopEngineRef engine, SendObserver observer) {
  if (engine == nullptr) return;
  std::lock_guard<std::mutex> lock(engine->state->mutex);
  std::swap(engine->state->observer, observer);
  // The old observer is released after the lock, in case its captures call back in.
}

std::vector<PluginRegistration> pluginRegistrations(FlutterDesktopEngineRef engine) {
  if (engine == nullptr) return {};
  std::lock_guard<std::mutex> lock(engine->state->mutex);
  return engine->state->registrations;
}

std::vector<std::string> entrypointArguments(FlutterDesktopEngineRef engine) {
  return engine == nullptr ? std::vector<std::string>{} : engine->state->arguments;
}

int fontReloadCount(FlutterDesktopEngineRef engine) {
  if (engine == nullptr) return 0;
  std::lock_guard<std::mutex> lock(engine->state->mutex);
  return engine->state->fontReloads;
}

}  // namespace standin

using standin::EngineState;

extern "C" {

void StandinRecordPluginRegistration(FlutterDesktopPluginRegistrarRef registrar,
                                     const char* function) {
  if (registrar == nullptr) return;
  std::shared_ptr<EngineState> state = registrar->state.lock();
  if (!state) return;
  std::lock_guard<std::mutex> lock(state->mutex);
  state->registrations.push_back(
      standin::PluginRegistration{registrar->pluginName, function != nullptr ? function : ""});
}

FlutterDesktopEngineRef FlutterDesktopEngineCreate(
    const FlutterDesktopEngineProperties* properties) {
  if (properties == nullptr || !standin::isDirectory(properties->assets_path)) return nullptr;
  auto state = std::make_shared<EngineState>();
  for (int32_t i = 0; i < properties->entrypoint_argc && properties->entrypoint_argv != nullptr;
       ++i) {
    const char* argument = properties->entrypoint_argv[i];
    state->arguments.emplace_back(argument != nullptr ? argument : "");
  }
  state->tasks = standin::PlatformTasks::create();
  if (!state->tasks) return nullptr;
  auto* messenger = new FlutterDesktopMessenger;
  messenger->state = state;
  state->messenger = messenger;

  std::string portFile;
  const size_t prefixLength = std::strlen(standin::kUiLinkArgument);
  for (const std::string& argument : state->arguments) {
    if (argument.compare(0, prefixLength, standin::kUiLinkArgument) == 0) {
      portFile = argument.substr(prefixLength);
    }
  }
  if (!portFile.empty()) {
    std::weak_ptr<EngineState> weak = state;
    state->link = std::make_unique<standin::link::UiLinkServer>(
        [weak](const std::string& channel, std::vector<uint8_t> message,
               std::function<void(const uint8_t*, size_t)> onReply) {
          if (std::shared_ptr<EngineState> state = weak.lock()) {
            standin::deliverToProgram(state, channel, std::move(message), std::move(onReply));
          }
        },
        [weak](const std::string& channel) -> std::optional<std::vector<uint8_t>> {
          std::shared_ptr<EngineState> state = weak.lock();
          if (!state) return std::nullopt;
          return standin::reservedReply(*state, channel);
        });
    std::string error;
    if (!state->link->start(portFile, error)) {
      std::cerr << ("UI link could not start: " + error + "\n") << std::flush;
      state->tasks->close();
      FlutterDesktopMessengerRelease(messenger);
      return nullptr;
    }
  }
  return new FlutterDesktopEngine{std::move(state)};
}

bool FlutterDesktopEngineDestroy(FlutterDesktopEngineRef engine) {
  if (engine == nullptr) return false;
  std::shared_ptr<EngineState> state = engine->state;
  // No more calls from the link once its thread is gone.
  if (state->link) state->link->stop();
  FlutterDesktopMessengerRef messenger = state->messenger;
  {
    std::lock_guard<std::recursive_mutex> hold(messenger->lock);
    messenger->state.reset();
  }
  std::set<FlutterDesktopMessageResponseHandle*> pending;
  standin::SendObserver observer;
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    state->running = false;
    state->callbacks.clear();
    pending.swap(state->pendingResponses);
    observer.swap(state->observer);
    state->viewListener = nullptr;
    state->nextFrame = nullptr;
  }
  state->tasks->close();
  for (FlutterDesktopMessageResponseHandle* handle : pending) delete handle;
  FlutterDesktopMessengerRelease(messenger);
  delete engine;
  return true;
}

FlutterDesktopMessengerRef FlutterDesktopEngineGetMessenger(FlutterDesktopEngineRef engine) {
  return engine == nullptr ? nullptr : engine->state->messenger;
}

FlutterDesktopPluginRegistrarRef FlutterDesktopEngineGetPluginRegistrar(
    FlutterDesktopEngineRef engine, const char* plugin_name) {
  if (engine == nullptr || plugin_name == nullptr) return nullptr;
  std::lock_guard<std::mutex> lock(engine->state->mutex);
  auto& registrar = engine->state->registrars[plugin_name];
  if (!registrar) {
    registrar = std::make_unique<FlutterDesktopPluginRegistrar>();
    registrar->pluginName = plugin_name;
    registrar->state = engine->state;
  }
  return registrar.get();
}

void FlutterDesktopEngineReloadSystemFonts(FlutterDesktopEngineRef engine) {
  if (engine == nullptr) return;
  std::lock_guard<std::mutex> lock(engine->state->mutex);
  ++engine->state->fontReloads;
}

void FlutterDesktopEngineSetNextFrameCallback(FlutterDesktopEngineRef engine,
                                              FlutterDesktopOnNextFrameCallback callback,
                                              void* user_data) {
  if (engine == nullptr) return;
  std::lock_guard<std::mutex> lock(engine->state->mutex);
  engine->state->nextFrame = callback;
  engine->state->nextFrameData = user_data;
}

bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger, const char* channel,
                                 const uint8_t* message, size_t message_size) {
  return standin::sendToUi(messenger, channel, message, message_size, nullptr, nullptr, false);
}

bool FlutterDesktopMessengerSendWithReply(FlutterDesktopMessengerRef messenger, const char* channel,
                                          const uint8_t* message, size_t message_size,
                                          FlutterDesktopBinaryReply reply, void* user_data) {
  return standin::sendToUi(messenger, channel, message, message_size, reply, user_data, true);
}

void FlutterDesktopMessengerSetCallback(FlutterDesktopMessengerRef messenger, const char* channel,
                                        FlutterDesktopMessageCallback callback, void* user_data) {
  if (messenger == nullptr || channel == nullptr) return;
  std::lock_guard<std::recursive_mutex> hold(messenger->lock);
  std::shared_ptr<EngineState> state = messenger->state;
  if (!state) return;
  std::lock_guard<std::mutex> lock(state->mutex);
  if (callback != nullptr) {
    state->callbacks[channel] = {callback, user_data};
  } else {
    state->callbacks.erase(channel);
  }
}

void FlutterDesktopMessengerSendResponse(FlutterDesktopMessengerRef messenger,
                                         const FlutterDesktopMessageResponseHandle* handle,
                                         const uint8_t* data, size_t data_length) {
  if (messenger == nullptr || handle == nullptr) return;
  std::lock_guard<std::recursive_mutex> hold(messenger->lock);
  std::shared_ptr<EngineState> state = messenger->state;
  if (!state) return;
  auto* pending = const_cast<FlutterDesktopMessageResponseHandle*>(handle);
  {
    std::lock_guard<std::mutex> lock(state->mutex);
    // A handle is answered once; an unknown or answered handle is ignored.
    if (state->pendingResponses.erase(pending) == 0) return;
  }
  std::unique_ptr<FlutterDesktopMessageResponseHandle> owned(pending);
  if (owned->onReply) owned->onReply(data_length > 0 ? data : nullptr, data_length);
}

FlutterDesktopMessengerRef FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger) {
  if (messenger != nullptr) messenger->references.fetch_add(1);
  return messenger;
}

void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger) {
  if (messenger != nullptr && messenger->references.fetch_sub(1) == 1) delete messenger;
}

FlutterDesktopMessengerRef FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger) {
  if (messenger != nullptr) messenger->lock.lock();
  return messenger;
}

void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger) {
  if (messenger != nullptr) messenger->lock.unlock();
}

bool FlutterDesktopMessengerIsAvailable(FlutterDesktopMessengerRef messenger) {
  if (messenger == nullptr) return false;
  std::lock_guard<std::recursive_mutex> hold(messenger->lock);
  return messenger->state != nullptr;
}

}  // extern "C"
