// The answer to one incoming method call, sent back through the engine.
#pragma once

#include <atomic>
#include <string>

#include "bridge/binary_messenger.h"
#include "bridge/method_result.h"
#include "bridge/standard_method_codec.h"

namespace flutter {

// Encodes the outcome as a reply envelope (NotImplemented as the empty answer) and hands it to
// the reply callable. Only the first outcome is sent; later ones are logged and dropped. May be
// answered from any thread.
class EngineMethodResult : public MethodResult {
 public:
  EngineMethodResult(BinaryMessenger::BinaryReply reply, const StandardMethodCodec* codec);
  // Logs the leak of a call that was never answered, unless the object is being destroyed by
  // an exception leaving the handler: the messenger answers that call itself.
  ~EngineMethodResult() override;
  EngineMethodResult(const EngineMethodResult&) = delete;
  EngineMethodResult& operator=(const EngineMethodResult&) = delete;

 protected:
  void successImpl(const EncodableValue* result) override;
  void errorImpl(const std::string& code, const std::string& message,
                 const EncodableValue* details) override;
  void notImplementedImpl() override;

 private:
  // True for the first outcome only; logs every later one.
  bool claimAnswer();

  BinaryMessenger::BinaryReply reply_;
  const StandardMethodCodec* codec_;
  std::atomic<bool> answered_{false};
  const int uncaughtAtCreation_;
};

}  // namespace flutter
