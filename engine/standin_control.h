// Control interface of the engine stand-in: what tests and tools use to play the UI side of the
// engine. Not part of the program; the program only calls the C functions of
// "bridge/engine_api.h". Natively these functions live in the static library quillon_engine; in
// the Windows build they are exported by flutter_windows.dll.
//
// Reserved channels of the UI link (answered by the stand-in itself, never by the program; the
// method name and arguments of the call are ignored, the reply is a success envelope):
//   "standin/plugins"    list of strings, one "<plug-in name>:<registration function>" per
//                        registration, in the order the registrations happened;
//   "standin/arguments"  list of strings, the engine's entrypoint arguments in order.
#ifndef QUILLON_ENGINE_STANDIN_CONTROL_H_
#define QUILLON_ENGINE_STANDIN_CONTROL_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bridge/engine_api.h"

extern "C" {
// Called by a plug-in library's registration function: records that `function` registered with
// `registrar` (whose plug-in name is the one given to FlutterDesktopEngineGetPluginRegistrar).
// Does nothing for a null registrar or an engine that is gone.
QUILLON_ENGINE_EXPORT void StandinRecordPluginRegistration(
    FlutterDesktopPluginRegistrarRef registrar, const char* function);
}

namespace standin {

// Delivers a message from the UI side to the program on `channel`: queued, then run on the
// platform thread (the callback registered with FlutterDesktopMessengerSetCallback). `onReply`
// runs once with the program's answer (size 0 for an empty / not-implemented answer, and also
// when no callback is registered for the channel); it never runs if the program never answers
// or the engine is destroyed first. It runs on whichever thread the program answers from.
// Callable from any thread; does nothing for a null engine.
QUILLON_ENGINE_EXPORT void postToProgram(
    FlutterDesktopEngineRef engine, const std::string& channel, std::vector<uint8_t> message,
    std::function<void(const uint8_t* data, size_t size)> onReply);

// Runs queued platform-thread work (incoming deliveries, replies to the program's own calls,
// next-frame callbacks) on the calling thread. Natively the thread that calls it acts as the
// platform thread; on Windows it pumps the calling thread's Win32 message queue (deliveries are
// posted to a hidden message window created on the thread that created the engine). Waits up to
// `timeoutMs` for at least one item when none is queued; returns the number of items run.
QUILLON_ENGINE_EXPORT int runPlatformTasks(int timeoutMs = 0);

// Observes every message the program sends to the UI side (FlutterDesktopMessengerSend and
// ...SendWithReply) on any channel, on the sending thread. For SendWithReply, `respond` answers
// it (at most once; the program's reply callback then runs on the platform thread); for Send it
// is empty. Without an observer (and without a UI link) a SendWithReply is answered with an
// empty reply. An empty observer removes the observer.
using SendObserver = std::function<void(const std::string& channel, std::vector<uint8_t> message,
                                        std::function<void(std::vector<uint8_t>)> respond)>;
QUILLON_ENGINE_EXPORT void setSendObserver(FlutterDesktopEngineRef engine, SendObserver observer);

// One plug-in registration: the registrar's plug-in name and the registration function's name.
struct PluginRegistration {
  std::string pluginName;
  std::string function;
};
// The registrations recorded so far, in order.
QUILLON_ENGINE_EXPORT std::vector<PluginRegistration> pluginRegistrations(
    FlutterDesktopEngineRef engine);

// The entrypoint arguments the engine was created with, in order.
QUILLON_ENGINE_EXPORT std::vector<std::string> entrypointArguments(FlutterDesktopEngineRef engine);

// Number of FlutterDesktopEngineReloadSystemFonts calls on the engine.
QUILLON_ENGINE_EXPORT int fontReloadCount(FlutterDesktopEngineRef engine);

// The engine a view controller runs (null for a null controller). Windows only: the native build
// has no view.
#ifdef _WIN32
QUILLON_ENGINE_EXPORT FlutterDesktopEngineRef
viewControllerEngine(FlutterDesktopViewControllerRef controller);
#endif

}  // namespace standin

#endif  // QUILLON_ENGINE_STANDIN_CONTROL_H_
