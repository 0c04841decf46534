// An engine stand-in started through the FlutterEngine wrapper over a scratch assets folder,
// with helpers that play the UI side of the messenger.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bridge/flutter_engine.h"
#include "bridge/ui_project.h"
#include "engine/standin_control.h"
#include "temp_dir.h"

namespace quillon::testing {

using Bytes = std::vector<uint8_t>;

// Collects the answers the program gives to messages from the UI side, from any thread.
class Answers {
 public:
  std::function<void(const uint8_t*, size_t)> collector() {
    return [this](const uint8_t* data, size_t size) {
      std::lock_guard<std::mutex> lock(mutex_);
      answers_.emplace_back(data, data + size);
    };
  }
  std::vector<Bytes> all() {
    std::lock_guard<std::mutex> lock(mutex_);
    return answers_;
  }
  // Runs platform work until `count` answers arrived or `timeoutMs` passed.
  bool waitFor(size_t count, int timeoutMs = 5000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
      if (all().size() >= count) return true;
      standin::runPlatformTasks(10);
    }
    return all().size() >= count;
  }

 private:
  std::mutex mutex_;
  std::vector<Bytes> answers_;
};

// Runs queued platform work until none is left (bounded).
inline void drainPlatformTasks() {
  for (int i = 0; i < 100 && standin::runPlatformTasks(20) > 0; ++i) {
  }
}

class BridgeTest : public ::testing::Test {
 protected:
  BridgeTest() {
    std::filesystem::create_directories(std::filesystem::path(folder_.path()) / "flutter_assets");
    engine_ = std::make_unique<flutter::FlutterEngine>(project());
  }
  ~BridgeTest() override {
    engine_.reset();
    drainPlatformTasks();
  }

  flutter::UiProject project(const std::string& assetsFolder = "flutter_assets") const {
    flutter::UiProject project;
    project.assetsPath = (std::filesystem::path(folder_.path()) / assetsFolder).wstring();
    project.icuDataPath = L"icudtl.dat";
    project.aotLibraryPath = L"app.so";
    return project;
  }

  FlutterDesktopEngineRef handle() const { return engine_->engineHandle(); }
  flutter::BinaryMessenger* messenger() const { return engine_->messenger(); }

  TempDir folder_;
  std::unique_ptr<flutter::FlutterEngine> engine_;
};

}  // namespace quillon::testing
