#include "bridge/binary_messenger.h"

#include <atomic>
#include <exception>
#include <memory>
#include <utility>

#include "log/app_log.h"

namespace flutter {
namespace {

// The engine messenger as held by outstanding answers: one reference, released with the last
// holder.
using SharedMessenger = std::shared_ptr<FlutterDesktopMessenger>;

SharedMessenger shareMessenger(FlutterDesktopMessengerRef messenger) {
  return SharedMessenger(
      FlutterDesktopMessengerAddRef(messenger),
      [](FlutterDesktopMessengerRef held) { FlutterDesktopMessengerRelease(held); });
}

// What the answer to one incoming message needs. Copies of the reply callable share it, so
// the response handle is used once however often and from wherever the reply is called.
struct PendingResponse {
  SharedMessenger messenger;
  std::atomic<const FlutterDesktopMessageResponseHandle*> handle;
};

// Sends the answer unless the engine has gone (then nothing is sent and nothing logged). A
// second answer is logged when `reportDuplicate`, else dropped quietly.
void respond(PendingResponse& pending, const uint8_t* data, size_t size, bool reportDuplicate) {
  FlutterDesktopMessengerRef messenger = pending.messenger.get();
  FlutterDesktopMessengerLock(messenger);
  if (FlutterDesktopMessengerIsAvailable(messenger)) {
    if (const FlutterDesktopMessageResponseHandle* handle = pending.handle.exchange(nullptr)) {
      FlutterDesktopMessengerSendResponse(messenger, handle, data, size);
    } else if (reportDuplicate) {
      quillon::logError("Error: Response can be set only once. Ignoring duplicate response.");
    }
  }
  FlutterDesktopMessengerUnlock(messenger);
}

std::string describe(std::exception_ptr error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "unknown exception";
  }
}

// Called by the engine, on the platform thread, for each message on a registered channel.
void onIncomingMessage(FlutterDesktopMessengerRef messenger, const FlutterDesktopMessage* message,
                       void* userData) {
  auto pending = std::make_shared<PendingResponse>();
  pending->messenger = shareMessenger(messenger);
  pending->handle = message->response_handle;
  BinaryMessenger::BinaryReply reply = [pending](const uint8_t* data, size_t size) {
    respond(*pending, data, size, true);
  };
  // A copy, so that a handler may replace or remove its own registration while it runs.
  BinaryMessenger::BinaryMessageHandler handler =
      *static_cast<BinaryMessenger::BinaryMessageHandler*>(userData);
  try {
    handler(message->message, message->message_size, std::move(reply));
  } catch (...) {
    // Nothing may unwind into the engine. The call is still answered, with the empty answer,
    // unless the handler answered before it threw.
    quillon::logError("Unhandled exception in the message handler of channel ", message->channel,
                      ": ", describe(std::current_exception()));
    respond(*pending, nullptr, 0, false);
  }
}

// Called by the engine with the answer to a message sent with a reply callable.
void onReply(const uint8_t* data, size_t size, void* userData) {
  std::unique_ptr<BinaryMessenger::BinaryReply> reply(
      static_cast<BinaryMessenger::BinaryReply*>(userData));
  try {
    (*reply)(data, size);
  } catch (...) {
    quillon::logError("Unhandled exception in a reply handler: ",
                      describe(std::current_exception()));
  }
}

}  // namespace

BinaryMessengerImpl::BinaryMessengerImpl(FlutterDesktopMessengerRef messenger)
    : messenger_(FlutterDesktopMessengerAddRef(messenger)) {}

BinaryMessengerImpl::~BinaryMessengerImpl() {
  // The engine must not call into handlers that are about to be freed. An engine that has
  // already ended calls nothing any more.
  if (!handlers_.empty() && FlutterDesktopMessengerIsAvailable(messenger_)) {
    for (const auto& entry : handlers_) {
      FlutterDesktopMessengerSetCallback(messenger_, entry.first.c_str(), nullptr, nullptr);
    }
  }
  FlutterDesktopMessengerRelease(messenger_);
}

void BinaryMessengerImpl::send(const std::string& channel, const uint8_t* message, size_t size,
                               BinaryReply reply) const {
  if (!reply) {
    FlutterDesktopMessengerSend(messenger_, channel.c_str(), message, size);
    return;
  }
  auto copy = std::make_unique<BinaryReply>(std::move(reply));
  if (FlutterDesktopMessengerSendWithReply(messenger_, channel.c_str(), message, size, &onReply,
                                           copy.get())) {
    copy.release();  // the engine hands it back to onReply exactly once
  }
}

void BinaryMessengerImpl::setMessageHandler(const std::string& channel,
                                            BinaryMessageHandler handler) {
  if (!handler) {
    handlers_.erase(channel);
    FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), nullptr, nullptr);
    return;
  }
  BinaryMessageHandler& stored = handlers_[channel];
  stored = std::move(handler);
  FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), &onIncomingMessage, &stored);
}

}  // namespace flutter
