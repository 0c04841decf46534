// The answer to a method call: exactly one of Success, Error or NotImplemented.
#pragma once

#include <functional>
#include <string>

#include "bridge/encodable_value.h"

namespace flutter {

class MethodResult {
 public:
  virtual ~MethodResult() = default;

  void Success(const EncodableValue& result) { successImpl(&result); }
  void Success() { successImpl(nullptr); }
  void Error(const std::string& code, const std::string& message, const EncodableValue& details) {
    errorImpl(code, message, &details);
  }
  void Error(const std::string& code, const std::string& message = std::string()) {
    errorImpl(code, message, nullptr);
  }
  void NotImplemented() { notImplementedImpl(); }

 protected:
  // `result` and `details` are null when absent.
  virtual void successImpl(const EncodableValue* result) = 0;
  virtual void errorImpl(const std::string& code, const std::string& message,
                         const EncodableValue* details) = 0;
  virtual void notImplementedImpl() = 0;
};

// A result that hands each outcome to a function; an empty function ignores that outcome. Used
// to receive the answer to a call the program makes itself.
class MethodResultFunctions : public MethodResult {
 public:
  using SuccessHandler = std::function<void(const EncodableValue* result)>;
  using ErrorHandler = std::function<void(const std::string& code, const std::string& message,
                                          const EncodableValue* details)>;
  using NotImplementedHandler = std::function<void()>;

  MethodResultFunctions(SuccessHandler onSuccess, ErrorHandler onError,
                        NotImplementedHandler onNotImplemented)
      : onSuccess_(std::move(onSuccess)),
        onError_(std::move(onError)),
        onNotImplemented_(std::move(onNotImplemented)) {}

 protected:
  void successImpl(const EncodableValue* result) override {
    if (onSuccess_) onSuccess_(result);
  }
  void errorImpl(const std::string& code, const std::string& message,
                 const EncodableValue* details) override {
    if (onError_) onError_(code, message, details);
  }
  void notImplementedImpl() override {
    if (onNotImplemented_) onNotImplemented_();
  }

 private:
  SuccessHandler onSuccess_;
  ErrorHandler onError_;
  NotImplementedHandler onNotImplemented_;
};

}  // namespace flutter
