// A named channel of method calls over a BinaryMessenger, with the standard method codec.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "bridge/binary_messenger.h"
#include "bridge/encodable_value.h"
#include "bridge/method_call.h"
#include "bridge/method_result.h"
#include "bridge/standard_method_codec.h"

namespace flutter {

class MethodCallChannel {
 public:
  // The handler owns the result and must answer through it exactly once, on any thread.
  using MethodCallHandler =
      std::function<void(const MethodCall& call, std::unique_ptr<MethodResult> result)>;

  // `messenger` is borrowed and must outlive every use of the channel (destroying the channel
  // does not touch it).
  MethodCallChannel(BinaryMessenger* messenger, std::string name,
                    const StandardMethodCodec* codec = &StandardMethodCodec::instance());

  const std::string& name() const { return name_; }

  // Routes incoming calls on this channel to `handler`; an empty handler stops that. A message
  // that is not a method call is logged and answered as not implemented. Platform thread only.
  void setMethodCallHandler(MethodCallHandler handler) const;

  // Calls `method` on the UI side. Without a `result` nothing comes back; this form is safe to
  // use from any thread. With one, the answer reaches it on the platform thread: an empty
  // answer or one that cannot be decoded as NotImplemented.
  void invokeMethod(const std::string& method, EncodableValue arguments = EncodableValue(),
                    std::unique_ptr<MethodResult> result = nullptr) const;

 private:
  // All set once at construction.
  BinaryMessenger* messenger_;
  std::string name_;
  const StandardMethodCodec* codec_;
};

}  // namespace flutter
