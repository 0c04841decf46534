#include "bridge/engine_method_result.h"

#include <exception>
#include <utility>
#include <vector>

#include "log/app_log.h"

namespace flutter {

EngineMethodResult::EngineMethodResult(BinaryMessenger::BinaryReply reply,
                                       const StandardMethodCodec* codec)
    : reply_(std::move(reply)), codec_(codec), uncaughtAtCreation_(std::uncaught_exceptions()) {}

EngineMethodResult::~EngineMethodResult() {
  if (answered_.load() || std::uncaught_exceptions() > uncaughtAtCreation_) return;
  quillon::logError("Warning: Failed to respond to a message. This is a memory leak.");
}

bool EngineMethodResult::claimAnswer() {
  if (!answered_.exchange(true)) return true;
  quillon::logError("Error: Only one of Success, Error, or NotImplemented can be called,",
                    " and it can be called exactly once. Ignoring duplicate result.");
  return false;
}

void EngineMethodResult::successImpl(const EncodableValue* result) {
  if (!claimAnswer()) return;
  const std::vector<uint8_t> envelope = codec_->encodeSuccessEnvelope(result);
  reply_(envelope.data(), envelope.size());
}

void EngineMethodResult::errorImpl(const std::string& code, const std::string& message,
                                   const EncodableValue* details) {
  if (!claimAnswer()) return;
  const std::vector<uint8_t> envelope = codec_->encodeErrorEnvelope(code, message, details);
  reply_(envelope.data(), envelope.size());
}

void EngineMethodResult::notImplementedImpl() {
  if (!claimAnswer()) return;
  reply_(nullptr, 0);
}

}  // namespace flutter
