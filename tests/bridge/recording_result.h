// A MethodResult that remembers every outcome reported to it, for tests.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "bridge/method_result.h"

namespace quillon::testing {

struct RecordedOutcome {
  enum Kind { kSuccess, kError, kNotImplemented } kind;
  std::optional<flutter::EncodableValue> value;  // the result or the error details
  std::string code;
  std::string message;
};

class RecordingResult : public flutter::MethodResult {
 public:
  explicit RecordingResult(std::vector<RecordedOutcome>* outcomes, std::mutex* mutex = nullptr)
      : outcomes_(outcomes), mutex_(mutex) {}

 protected:
  void successImpl(const flutter::EncodableValue* result) override {
    record({RecordedOutcome::kSuccess, optionalOf(result), "", ""});
  }
  void errorImpl(const std::string& code, const std::string& message,
                 const flutter::EncodableValue* details) override {
    record({RecordedOutcome::kError, optionalOf(details), code, message});
  }
  void notImplementedImpl() override { record({RecordedOutcome::kNotImplemented, {}, "", ""}); }

 private:
  static std::optional<flutter::EncodableValue> optionalOf(const flutter::EncodableValue* v) {
    return v ? std::optional<flutter::EncodableValue>(*v) : std::nullopt;
  }
  void record(RecordedOutcome outcome) {
    if (mutex_) {
      std::lock_guard<std::mutex> lock(*mutex_);
      outcomes_->push_back(std::move(outcome));
    } else {
      outcomes_->push_back(std::move(outcome));
    }
  }

  std::vector<RecordedOutcome>* outcomes_;
  std::mutex* mutex_;
};

}  // namespace quillon::testing
