#include "bridge/method_call_channel.h"

#include <utility>
#include <variant>
#include <vector>

#include "bridge/engine_method_result.h"
#include "log/app_log.h"

namespace flutter {
namespace {

// Passes outcomes on to the caller's result while noting whether any arrived, so that a type
// error in a malformed envelope can be told apart from an exception of the caller's own code.
class ObservedResult : public MethodResult {
 public:
  explicit ObservedResult(MethodResult* target) : target_(target) {}
  bool reported() const { return reported_; }

 protected:
  void successImpl(const EncodableValue* result) override {
    reported_ = true;
    if (result) {
      target_->Success(*result);
    } else {
      target_->Success();
    }
  }
  void errorImpl(const std::string& code, const std::string& message,
                 const EncodableValue* details) override {
    reported_ = true;
    if (details) {
      target_->Error(code, message, *details);
    } else {
      target_->Error(code, message);
    }
  }
  void notImplementedImpl() override {
    reported_ = true;
    target_->NotImplemented();
  }

 private:
  MethodResult* target_;
  bool reported_ = false;
};

}  // namespace

MethodCallChannel::MethodCallChannel(BinaryMessenger* messenger, std::string name,
                                     const StandardMethodCodec* codec)
    : messenger_(messenger), name_(std::move(name)), codec_(codec) {}

void MethodCallChannel::setMethodCallHandler(MethodCallHandler handler) const {
  if (!handler) {
    messenger_->setMessageHandler(name_, nullptr);
    return;
  }
  messenger_->setMessageHandler(
      name_, [handler = std::move(handler), codec = codec_, name = name_](
                 const uint8_t* message, size_t size, BinaryMessenger::BinaryReply reply) {
        auto result = std::make_unique<EngineMethodResult>(std::move(reply), codec);
        std::unique_ptr<MethodCall> call = codec->decodeMethodCall(message, size);
        if (!call) {
          quillon::logError("Unable to construct method call from message on channel ", name);
          result->NotImplemented();
          return;
        }
        handler(*call, std::move(result));
      });
}

void MethodCallChannel::invokeMethod(const std::string& method, EncodableValue arguments,
                                     std::unique_ptr<MethodResult> result) const {
  const std::vector<uint8_t> message =
      codec_->encodeMethodCall(MethodCall(method, std::move(arguments)));
  if (!result) {
    messenger_->send(name_, message.data(), message.size());
    return;
  }
  std::shared_ptr<MethodResult> target(std::move(result));
  messenger_->send(name_, message.data(), message.size(),
                   [target, codec = codec_, name = name_](const uint8_t* reply, size_t size) {
                     if (size == 0) {
                       target->NotImplemented();
                       return;
                     }
                     ObservedResult observed(target.get());
                     bool decoded = false;
                     try {
                       decoded = codec->decodeAndProcessResponseEnvelope(reply, size, &observed);
                     } catch (const std::bad_variant_access&) {
                       if (observed.reported()) throw;
                     }
                     if (!decoded) {
                       quillon::logError("Unable to decode reply to method invocation on channel ",
                                         name);
                       target->NotImplemented();
                     }
                   });
}

}  // namespace flutter
