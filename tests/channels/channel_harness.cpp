#include "channel_harness.h"

#include <filesystem>
#include <stdexcept>
#include <utility>

#include "bridge/binary_messenger.h"
#include "bridge/method_call.h"
#include "bridge/method_result.h"
#include "bridge/standard_method_codec.h"
#include "engine/standin_control.h"
#include "loopback.h"

namespace quillon::testing {

namespace {

constexpr int kReplyTimeoutMs = 10000;

}  // namespace

ChannelHarness::ChannelHarness(bool realWaits, std::optional<std::string> leftoverJournal) {
  const std::filesystem::path assets = std::filesystem::path(assets_.path()) / "flutter_assets";
  std::filesystem::create_directory(assets);
  const std::wstring assetsPath = assets.wstring();
  FlutterDesktopEngineProperties properties{};
  properties.assets_path = assetsPath.c_str();
  properties.icu_data_path = assetsPath.c_str();
  properties.aot_library_path = assetsPath.c_str();
  properties.entrypoint = "";
  engine_ = FlutterDesktopEngineCreate(&properties);
  if (engine_ == nullptr) throw std::runtime_error("the engine stand-in refused to start");

  standin::setSendObserver(engine_, [this](const std::string& channel, std::vector<uint8_t> message,
                                           std::function<void(std::vector<uint8_t>)> respond) {
    auto call =
        flutter::StandardMethodCodec::instance().decodeMethodCall(message.data(), message.size());
    Push push{channel, call ? call->methodName() : std::string("<undecodable>"),
              call ? call->arguments() : flutter::EncodableValue(), static_cast<bool>(respond)};
    if (onPush) onPush(push);
    std::lock_guard<std::mutex> lock(pushMutex_);
    pushes_.push_back(std::move(push));
    pushArrived_.notify_all();
  });

  messenger_ =
      std::make_unique<flutter::BinaryMessengerImpl>(FlutterDesktopEngineGetMessenger(engine_));
  system.adapters.setAdapters(
      {adapter("Ethernet", "Intel(R) Ethernet Connection", kIfTypeEthernet)});
  system.journal.contents = std::move(leftoverJournal);
  network_ = std::make_unique<NetworkSettings>(system.backends());
  network_->loadJournal();
  state_ = std::make_unique<AppState>(*network_);
  if (!realWaits) {
    // Only the platform thread runs the waits, so the list needs no lock.
    state_->setWaitForTesting([this](std::chrono::milliseconds ms) { waits.push_back(ms); });
  }
  state_->registerChannels(*messenger_);
}

ChannelHarness::~ChannelHarness() {
  destroyState();
  messenger_.reset();
  destroyEngine();
}

void ChannelHarness::destroyState() {
  if (state_) state_->stopStatisticsPushes();
  state_.reset();
}

void ChannelHarness::destroyEngine() {
  if (engine_ == nullptr) return;
  standin::setSendObserver(engine_, nullptr);
  FlutterDesktopEngineDestroy(engine_);
  engine_ = nullptr;
}

Reply ChannelHarness::vpn(const std::string& method, flutter::EncodableValue arguments) {
  return send(kVpnChannelName, flutter::StandardMethodCodec::instance().encodeMethodCall(
                                   flutter::MethodCall(method, std::move(arguments))));
}

Reply ChannelHarness::stats(const std::string& method, flutter::EncodableValue arguments) {
  return send(kStatsChannelName, flutter::StandardMethodCodec::instance().encodeMethodCall(
                                     flutter::MethodCall(method, std::move(arguments))));
}

Reply ChannelHarness::send(const std::string& channel, std::vector<uint8_t> message) {
  // The reply normally runs on this thread, but a lock keeps the test honest either way.
  auto reply = std::make_shared<Reply>();
  auto replyMutex = std::make_shared<std::mutex>();
  standin::postToProgram(engine_, channel, std::move(message),
                         [this, reply, replyMutex](const uint8_t* data, size_t size) {
                           if (onReply) onReply();
                           std::lock_guard<std::mutex> lock(*replyMutex);
                           ++reply->replies;
                           reply->bytes.assign(data, data + size);
                         });
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
  while (std::chrono::steady_clock::now() < deadline) {
    standin::runPlatformTasks(20);
    std::lock_guard<std::mutex> lock(*replyMutex);
    if (reply->replies > 0) break;
  }
  std::lock_guard<std::mutex> lock(*replyMutex);
  Reply result = *reply;
  if (result.replies == 0) return result;
  if (result.bytes.empty()) {
    result.kind = Reply::kNotImplemented;
    return result;
  }
  flutter::MethodResultFunctions decoded(
      [&result](const flutter::EncodableValue* value) {
        result.kind = Reply::kSuccess;
        if (value != nullptr) result.value = *value;
      },
      [&result](const std::string& code, const std::string& message,
                const flutter::EncodableValue*) {
        result.kind = Reply::kError;
        result.code = code;
        result.message = message;
      },
      nullptr);
  flutter::StandardMethodCodec::instance().decodeAndProcessResponseEnvelope(
      result.bytes.data(), result.bytes.size(), &decoded);
  return result;
}

std::vector<Push> ChannelHarness::waitForPushes(std::size_t count, int timeoutMs) {
  std::unique_lock<std::mutex> lock(pushMutex_);
  pushArrived_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                        [&] { return pushes_.size() >= count; });
  return pushes_;
}

std::vector<Push> ChannelHarness::pushes() {
  std::lock_guard<std::mutex> lock(pushMutex_);
  return pushes_;
}

void ChannelHarness::clearPushes() {
  std::lock_guard<std::mutex> lock(pushMutex_);
  pushes_.clear();
}

Socket holdPort(uint16_t port) {
  ensureSocketLayer();
  Socket socket(openTcpSocket());
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(port);
  if (!socket.valid() ||
      bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      listen(socket.get(), 4) != 0) {
    socket.reset();
  }
  return socket;
}

flutter::EncodableValue map(
    std::initializer_list<std::pair<const char*, flutter::EncodableValue>> entries) {
  flutter::EncodableMap result;
  for (const auto& [key, value] : entries) {
    result[flutter::EncodableValue(key)] = value;
  }
  return flutter::EncodableValue(std::move(result));
}

flutter::EncodableValue at(const flutter::EncodableValue& mapValue, const char* key) {
  const auto* entries = std::get_if<flutter::EncodableMap>(&mapValue);
  if (entries == nullptr) return {};
  const auto it = entries->find(flutter::EncodableValue(key));
  return it == entries->end() ? flutter::EncodableValue() : it->second;
}

}  // namespace quillon::testing
