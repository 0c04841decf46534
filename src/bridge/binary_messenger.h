// Byte messages on named channels over the engine's messenger.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "bridge/engine_api.h"

namespace flutter {

class BinaryMessenger {
 public:
  // Answers one incoming message; (null, 0) is the empty answer. May be called at most once.
  using BinaryReply = std::function<void(const uint8_t* reply, size_t size)>;
  // Receives one incoming message with the callable that answers it.
  using BinaryMessageHandler =
      std::function<void(const uint8_t* message, size_t size, BinaryReply reply)>;

  virtual ~BinaryMessenger() = default;

  // Sends `message` on `channel`. With a `reply`, it runs once with the answer (on the platform
  // thread); it never runs when the message could not be sent. Callable from any thread.
  virtual void send(const std::string& channel, const uint8_t* message, size_t size,
                    BinaryReply reply = nullptr) const = 0;

  // Installs `handler` for incoming messages on `channel`, replacing an earlier one; an empty
  // handler removes it. Platform thread only.
  virtual void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
};

// The messenger over the engine library's messenger handle.
class BinaryMessengerImpl : public BinaryMessenger {
 public:
  // Takes a reference on `messenger`, so the handle stays usable (and reports the engine's
  // absence) even if the engine ends first.
  explicit BinaryMessengerImpl(FlutterDesktopMessengerRef messenger);
  // Unregisters this object's handlers from a still running engine, then frees them.
  ~BinaryMessengerImpl() override;
  BinaryMessengerImpl(const BinaryMessengerImpl&) = delete;
  BinaryMessengerImpl& operator=(const BinaryMessengerImpl&) = delete;

  void send(const std::string& channel, const uint8_t* message, size_t size,
            BinaryReply reply = nullptr) const override;
  void setMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;

  FlutterDesktopMessengerRef handle() const { return messenger_; }

 private:
  // Set once at construction; one reference held until destruction.
  FlutterDesktopMessengerRef messenger_;
  // Touched only on the platform thread. The engine holds pointers to the stored handlers as
  // callback user data; map nodes never move, and a replaced handler is assigned in place.
  std::map<std::string, BinaryMessageHandler> handlers_;
};

}  // namespace flutter
