// A tiny program for the UI link tests: runs an engine stand-in with the UI link and answers on
// the channel "test/echo" with the program's own codec:
//   "echo"     success with the call's arguments
//   "fail"     error "ECHO_ERROR" / "asked to fail" with the arguments as details
//   "nothing"  an empty (not implemented) answer
//   "hold"     no answer at all
//   "push"     sends the method call "onPush" with the arguments on "test/pushes", then success
//   "quit"     success true, then the program ends
// Usage: link_echo_app ASSETS_FOLDER PORT_FILE [LIFETIME_SECONDS]. It ends by itself after the
// lifetime (default 60 s) so a failed test never leaves it behind.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <string>

#include "bridge/standard_method_codec.h"
#include "echo_app_plugins.h"
#include "engine/standin_control.h"

namespace {

using flutter::EncodableValue;
using flutter::StandardMethodCodec;

bool quitRequested = false;

void reply(FlutterDesktopMessengerRef messenger, const FlutterDesktopMessage* message,
           const std::vector<uint8_t>& bytes) {
  FlutterDesktopMessengerSendResponse(messenger, message->response_handle,
                                      bytes.empty() ? nullptr : bytes.data(), bytes.size());
}

void onEcho(FlutterDesktopMessengerRef messenger, const FlutterDesktopMessage* message, void*) {
  const StandardMethodCodec& codec = StandardMethodCodec::instance();
  std::unique_ptr<flutter::MethodCall> call =
      codec.decodeMethodCall(message->message, message->message_size);
  if (!call) return reply(messenger, message, {});
  const std::string& method = call->methodName();
  if (method == "echo")
    return reply(messenger, message, codec.encodeSuccessEnvelope(&call->arguments()));
  if (method == "fail") {
    return reply(messenger, message,
                 codec.encodeErrorEnvelope("ECHO_ERROR", "asked to fail", &call->arguments()));
  }
  if (method == "hold") return;
  if (method == "push") {
    std::vector<uint8_t> push =
        codec.encodeMethodCall(flutter::MethodCall("onPush", call->arguments()));
    FlutterDesktopMessengerSend(messenger, "test/pushes", push.data(), push.size());
    return reply(messenger, message, codec.encodeSuccessEnvelope(nullptr));
  }
  if (method == "quit") {
    quitRequested = true;
    EncodableValue yes(true);
    return reply(messenger, message, codec.encodeSuccessEnvelope(&yes));
  }
  reply(messenger, message, {});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::cerr << "usage: link_echo_app ASSETS_FOLDER PORT_FILE [LIFETIME_SECONDS]\n";
    return 2;
  }
  std::wstring assets = std::filesystem::path(argv[1]).wstring();
  std::string linkArgument = std::string("--ui-link=") + argv[2];
  const char* arguments[] = {"--first", linkArgument.c_str()};
  FlutterDesktopEngineProperties properties{};
  properties.assets_path = assets.c_str();
  properties.icu_data_path = L"icudtl.dat";
  properties.aot_library_path = L"app.so";
  properties.entrypoint = "";
  properties.entrypoint_argc = 2;
  properties.entrypoint_argv = arguments;
  FlutterDesktopEngineRef engine = FlutterDesktopEngineCreate(&properties);
  if (engine == nullptr) {
    std::cerr << "link_echo_app: no engine\n";
    return 1;
  }
  registerEchoAppPlugins(engine);
  FlutterDesktopMessengerSetCallback(FlutterDesktopEngineGetMessenger(engine), "test/echo", &onEcho,
                                     nullptr);
  int lifetime = argc > 3 ? std::atoi(argv[3]) : 60;
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(lifetime);
  while (!quitRequested && std::chrono::steady_clock::now() < end) standin::runPlatformTasks(100);
  FlutterDesktopEngineDestroy(engine);
  return quitRequested ? 0 : 3;
}
