// Creates an engine stand-in over a scratch assets folder, for the engine tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "bridge/engine_api.h"
#include "temp_dir.h"

namespace quillon::testing {

class StandinEngine {
 public:
  explicit StandinEngine(std::vector<std::string> arguments = {})
      : arguments_(std::move(arguments)) {
    std::filesystem::create_directories(assetsPath());
    engine_ = create(assetsPath().wstring(), arguments_);
  }
  ~StandinEngine() {
    if (engine_ != nullptr) FlutterDesktopEngineDestroy(engine_);
  }
  StandinEngine(const StandinEngine&) = delete;
  StandinEngine& operator=(const StandinEngine&) = delete;

  FlutterDesktopEngineRef get() const { return engine_; }
  FlutterDesktopMessengerRef messenger() const { return FlutterDesktopEngineGetMessenger(engine_); }
  // Hands the engine over (to a view controller or to an explicit destroy).
  FlutterDesktopEngineRef release() { return std::exchange(engine_, nullptr); }
  std::filesystem::path assetsPath() const {
    return std::filesystem::path(folder_.path()) / "flutter_assets";
  }
  const TempDir& folder() const { return folder_; }

  static FlutterDesktopEngineRef create(const std::wstring& assets,
                                        const std::vector<std::string>& arguments) {
    std::vector<const char*> argv;
    for (const std::string& argument : arguments) argv.push_back(argument.c_str());
    FlutterDesktopEngineProperties properties{};
    properties.assets_path = assets.c_str();
    properties.icu_data_path = L"icudtl.dat";
    properties.aot_library_path = L"app.so";
    properties.entrypoint = "";
    properties.entrypoint_argc = static_cast<int32_t>(argv.size());
    properties.entrypoint_argv = argv.empty() ? nullptr : argv.data();
    return FlutterDesktopEngineCreate(&properties);
  }

 private:
  TempDir folder_;
  std::vector<std::string> arguments_;
  FlutterDesktopEngineRef engine_ = nullptr;
};

}  // namespace quillon::testing
