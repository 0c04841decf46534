// One method invocation on a channel: the method name and its arguments.
#pragma once

#include <string>
#include <utility>

#include "bridge/encodable_value.h"

namespace flutter {

class MethodCall {
 public:
  MethodCall(std::string methodName, EncodableValue arguments)
      : methodName_(std::move(methodName)), arguments_(std::move(arguments)) {}

  const std::string& methodName() const { return methodName_; }
  // Null when the call carries no arguments.
  const EncodableValue& arguments() const { return arguments_; }

 private:
  std::string methodName_;
  EncodableValue arguments_;
};

}  // namespace flutter
