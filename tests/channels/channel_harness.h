// Drives an AppState the way the UI does: encoded method calls delivered through the engine
// stand-in's messenger on this thread (which acts as the platform thread), replies decoded,
// and every message the program sends to the UI recorded.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/encodable_value.h"
#include "bridge/engine_api.h"
#include "channels/app_state.h"
#include "proxy/socket_compat.h"
#include "system_fakes.h"
#include "temp_dir.h"

namespace flutter {
class BinaryMessengerImpl;
}

namespace quillon::testing {

struct Reply {
  enum Kind { kNone, kSuccess, kError, kNotImplemented } kind = kNone;
  flutter::EncodableValue value;  // the success value
  std::string code;
  std::string message;
  std::vector<uint8_t> bytes;  // the reply exactly as sent
  int replies = 0;             // how many replies arrived (must be 1)
};

struct Push {
  std::string channel;
  std::string method;
  flutter::EncodableValue arguments;
  bool expectsReply = false;
};

class ChannelHarness {
 public:
  // Starts an engine, wraps its messenger, creates the state with the fake system (one up,
  // addressed Ethernet adapter named "Ethernet" on DHCP; waits are recorded, not slept, unless
  // `realWaits`) and registers its channels. `leftoverJournal` is the journal an earlier run
  // left, taken over (not put back) before the state is created, as at the program's start.
  explicit ChannelHarness(bool realWaits = false,
                          std::optional<std::string> leftoverJournal = std::nullopt);
  ~ChannelHarness();

  Reply vpn(const std::string& method, flutter::EncodableValue arguments = {});
  Reply stats(const std::string& method, flutter::EncodableValue arguments = {});
  // Sends raw bytes on `channel` and waits (bounded) for the reply.
  Reply send(const std::string& channel, std::vector<uint8_t> message);

  // Waits up to `timeoutMs` until `count` pushes were observed; returns what was observed.
  std::vector<Push> waitForPushes(std::size_t count, int timeoutMs);
  std::vector<Push> pushes();
  void clearPushes();

  AppState& state() { return *state_; }
  NetworkSettings& network() { return *network_; }
  // Destroys the state now (the messenger and engine stay).
  void destroyState();
  // Destroys the engine now, as the window does when it releases the view controller.
  void destroyEngine();

  // Runs as each reply arrives, before send() returns (set it before sending).
  std::function<void()> onReply;
  // Runs on the sending thread as each push is observed (set it before pushes can start).
  std::function<void(const Push&)> onPush;

  std::vector<std::chrono::milliseconds> waits;
  FakeSystem system;
  FakeInternetOptions& options = system.options;
  FakeCommandRunner& commands = system.commands;
  FakeJournal& journal = system.journal;

 private:
  TempDir assets_;
  FlutterDesktopEngineRef engine_ = nullptr;
  std::unique_ptr<flutter::BinaryMessengerImpl> messenger_;
  std::unique_ptr<NetworkSettings> network_;  // outlives the state
  std::unique_ptr<AppState> state_;

  std::mutex pushMutex_;
  std::condition_variable pushArrived_;
  std::vector<Push> pushes_;  // guarded by pushMutex_
};

// A socket listening on 0.0.0.0:`port` without address reuse, so that nobody else can bind
// the port while it lives; invalid when the port was taken already.
Socket holdPort(uint16_t port);

// Builders for argument maps: map({{"key", value}, ...}).
flutter::EncodableValue map(
    std::initializer_list<std::pair<const char*, flutter::EncodableValue>> entries);
// The value under string `key` of a map value (null when absent).
flutter::EncodableValue at(const flutter::EncodableValue& mapValue, const char* key);

}  // namespace quillon::testing
