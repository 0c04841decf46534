/* The plain C interface of the external UI engine library (flutter_windows.dll on Windows) and
 * of the five UI plug-in libraries, as this program uses them. Every call is made on the UI
 * platform thread, except messenger sends and replies, which may come from any thread. */
#ifndef QUILLON_BRIDGE_ENGINE_API_H_
#define QUILLON_BRIDGE_ENGINE_API_H_

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32
#include <windows.h>
#endif

/* The engine library exports these functions; a build of the library itself defines
 * QUILLON_ENGINE_LIBRARY_BUILD (and QUILLON_PLUGIN_LIBRARY_BUILD for a plug-in library). */
#if defined(_WIN32) && defined(QUILLON_ENGINE_SHARED)
#if defined(QUILLON_ENGINE_LIBRARY_BUILD)
#define QUILLON_ENGINE_EXPORT __declspec(dllexport)
#else
#define QUILLON_ENGINE_EXPORT __declspec(dllimport)
#endif
#if defined(QUILLON_PLUGIN_LIBRARY_BUILD)
#define QUILLON_PLUGIN_EXPORT __declspec(dllexport)
#else
#define QUILLON_PLUGIN_EXPORT __declspec(dllimport)
#endif
#else
#define QUILLON_ENGINE_EXPORT
#define QUILLON_PLUGIN_EXPORT
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Opaque handles owned by the engine library. */
typedef struct FlutterDesktopEngine* FlutterDesktopEngineRef;
typedef struct FlutterDesktopViewController* FlutterDesktopViewControllerRef;
typedef struct FlutterDesktopView* FlutterDesktopViewRef;
typedef struct FlutterDesktopMessenger* FlutterDesktopMessengerRef;
typedef struct FlutterDesktopPluginRegistrar* FlutterDesktopPluginRegistrarRef;
/* Identifies one incoming message until it is answered. */
typedef struct FlutterDesktopMessageResponseHandle FlutterDesktopMessageResponseHandle;

/* What the engine is started with. The texts must stay alive until the create call returns. */
typedef struct {
  const wchar_t* assets_path;      /* folder of the UI's assets */
  const wchar_t* icu_data_path;    /* ICU data file */
  const wchar_t* aot_library_path; /* the UI's compiled application library */
  const char* entrypoint;          /* UTF-8; empty for the default entrypoint */
  int32_t entrypoint_argc;         /* number of entrypoint arguments */
  const char** entrypoint_argv;    /* UTF-8 argument texts, or null when there are none */
} FlutterDesktopEngineProperties;

/* One incoming message as handed to a message callback. */
typedef struct {
  size_t struct_size;                                  /* sizeof(FlutterDesktopMessage) */
  const char* channel;                                 /* channel name, zero-terminated */
  const uint8_t* message;                              /* message bytes */
  size_t message_size;                                 /* number of message bytes */
  const FlutterDesktopMessageResponseHandle* response_handle; /* answer with SendResponse */
} FlutterDesktopMessage;

typedef void (*FlutterDesktopMessageCallback)(FlutterDesktopMessengerRef messenger,
                                              const FlutterDesktopMessage* message,
                                              void* user_data);
typedef void (*FlutterDesktopBinaryReply)(const uint8_t* data, size_t data_size,
                                          void* user_data);
typedef void (*FlutterDesktopOnNextFrameCallback)(void* user_data);

/* Engine. */
QUILLON_ENGINE_EXPORT FlutterDesktopEngineRef
FlutterDesktopEngineCreate(const FlutterDesktopEngineProperties* properties);
QUILLON_ENGINE_EXPORT bool FlutterDesktopEngineDestroy(FlutterDesktopEngineRef engine);
QUILLON_ENGINE_EXPORT FlutterDesktopMessengerRef
FlutterDesktopEngineGetMessenger(FlutterDesktopEngineRef engine);
QUILLON_ENGINE_EXPORT FlutterDesktopPluginRegistrarRef
FlutterDesktopEngineGetPluginRegistrar(FlutterDesktopEngineRef engine, const char* plugin_name);
QUILLON_ENGINE_EXPORT void FlutterDesktopEngineReloadSystemFonts(FlutterDesktopEngineRef engine);
QUILLON_ENGINE_EXPORT void FlutterDesktopEngineSetNextFrameCallback(
    FlutterDesktopEngineRef engine, FlutterDesktopOnNextFrameCallback callback, void* user_data);

/* Messenger. */
QUILLON_ENGINE_EXPORT bool FlutterDesktopMessengerSend(FlutterDesktopMessengerRef messenger,
                                                       const char* channel,
                                                       const uint8_t* message,
                                                       size_t message_size);
QUILLON_ENGINE_EXPORT bool FlutterDesktopMessengerSendWithReply(
    FlutterDesktopMessengerRef messenger, const char* channel, const uint8_t* message,
    size_t message_size, FlutterDesktopBinaryReply reply, void* user_data);
QUILLON_ENGINE_EXPORT void FlutterDesktopMessengerSetCallback(
    FlutterDesktopMessengerRef messenger, const char* channel,
    FlutterDesktopMessageCallback callback, void* user_data);
QUILLON_ENGINE_EXPORT void FlutterDesktopMessengerSendResponse(
    FlutterDesktopMessengerRef messenger, const FlutterDesktopMessageResponseHandle* handle,
    const uint8_t* data, size_t data_length);
QUILLON_ENGINE_EXPORT FlutterDesktopMessengerRef
FlutterDesktopMessengerAddRef(FlutterDesktopMessengerRef messenger);
QUILLON_ENGINE_EXPORT void FlutterDesktopMessengerRelease(FlutterDesktopMessengerRef messenger);
QUILLON_ENGINE_EXPORT FlutterDesktopMessengerRef
FlutterDesktopMessengerLock(FlutterDesktopMessengerRef messenger);
QUILLON_ENGINE_EXPORT void FlutterDesktopMessengerUnlock(FlutterDesktopMessengerRef messenger);
QUILLON_ENGINE_EXPORT bool FlutterDesktopMessengerIsAvailable(
    FlutterDesktopMessengerRef messenger);

#ifdef _WIN32
/* View controller and view (Windows only). Sizes are in physical pixels. */
QUILLON_ENGINE_EXPORT FlutterDesktopViewControllerRef
FlutterDesktopViewControllerCreate(int width, int height, FlutterDesktopEngineRef engine);
QUILLON_ENGINE_EXPORT void FlutterDesktopViewControllerDestroy(
    FlutterDesktopViewControllerRef controller);
QUILLON_ENGINE_EXPORT FlutterDesktopViewRef
FlutterDesktopViewControllerGetView(FlutterDesktopViewControllerRef controller);
QUILLON_ENGINE_EXPORT void FlutterDesktopViewControllerForceRedraw(
    FlutterDesktopViewControllerRef controller);
QUILLON_ENGINE_EXPORT bool FlutterDesktopViewControllerHandleTopLevelWindowProc(
    FlutterDesktopViewControllerRef controller, HWND hwnd, UINT message, WPARAM wparam,
    LPARAM lparam, LRESULT* result);
QUILLON_ENGINE_EXPORT HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef view);

/* Dots per inch of a monitor (96 is a scale of 1). */
QUILLON_ENGINE_EXPORT UINT FlutterDesktopGetDpiForMonitor(HMONITOR monitor);

/* The five UI plug-ins, one library each, registered in this order. */
QUILLON_PLUGIN_EXPORT void AppLinksPluginCApiRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar);
QUILLON_PLUGIN_EXPORT void ScreenRetrieverPluginRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar);
QUILLON_PLUGIN_EXPORT void SystemTrayPluginRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar);
QUILLON_PLUGIN_EXPORT void UrlLauncherWindowsRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar);
QUILLON_PLUGIN_EXPORT void WindowManagerPluginRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar);
#endif /* _WIN32 */

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QUILLON_BRIDGE_ENGINE_API_H_ */
