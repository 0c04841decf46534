// The four message shapes of method channels over the standard value encoding: a method call,
// a success envelope, an error envelope, and the decoding of a reply envelope.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bridge/encodable_value.h"
#include "bridge/method_call.h"
#include "bridge/method_result.h"

namespace flutter {

class StandardMethodCodec {
 public:
  // The one codec of the process; stateless, so any thread may use it.
  static const StandardMethodCodec& instance();

  std::vector<uint8_t> encodeMethodCall(const MethodCall& call) const;
  // Null (and a logged line) when the first value is not a string.
  std::unique_ptr<MethodCall> decodeMethodCall(const uint8_t* message, size_t size) const;

  // 0, then the result (null when absent).
  std::vector<uint8_t> encodeSuccessEnvelope(const EncodableValue* result) const;
  // 1, the code, the message (null when empty), the details (null when absent).
  std::vector<uint8_t> encodeErrorEnvelope(const std::string& code, const std::string& message,
                                           const EncodableValue* details) const;

  // Decodes a reply envelope and reports it to `result`. Returns false, without touching
  // `result`, when the first byte is neither 0 nor 1. An error envelope whose code is not a
  // string, or whose message is neither null nor a string, throws std::bad_variant_access.
  bool decodeAndProcessResponseEnvelope(const uint8_t* response, size_t size,
                                        MethodResult* result) const;
};

}  // namespace flutter
