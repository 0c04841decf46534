#include "channels/app_state.h"

#include <thread>
#include <utility>

#include "log/app_log.h"

#ifndef QUILLON_SERVICE_ORIGIN
#error "QUILLON_SERVICE_ORIGIN must name the service's web server (set by CMake)"
#endif

namespace quillon {

const char* const kRoutePacUrl = QUILLON_SERVICE_ORIGIN "/app/route.pac";
const char* const kMacosPacUrl = QUILLON_SERVICE_ORIGIN "/app/macos.pac";

AppState::AppState(NetworkSettings& network)
    : network_(network),
      wait_([](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); }) {
  logLine("[", localTimestamp(), "] FlutterWindow initialized");
}

AppState::~AppState() {
  // The window closes the push before it lets the engine go; closing it again here covers an
  // owner that never had a window.
  stopStatisticsPushes();
  if (proxyRunning()) {
    proxyServer_->stop();
  }
  network_.putEverythingBack();
  // proxyServer_ is the last member and so the first one destroyed, before the channels.
}

void AppState::registerChannels(flutter::BinaryMessenger& messenger) {
  const auto& codec = flutter::StandardMethodCodec::instance();

  vpnChannel_ = std::make_unique<Channel>(&messenger, kVpnChannelName, &codec);
  vpnChannel_->setMethodCallHandler([this](const ChannelCall& call, ChannelResult result) {
    handleVpnMethodCall(call, std::move(result));
  });

  statsChannel_ = std::make_unique<Channel>(&messenger, kStatsChannelName, &codec);
  statsChannel_->setMethodCallHandler([this](const ChannelCall& call, ChannelResult result) {
    handleStatsMethodCall(call, std::move(result));
  });

  proxyServer_ = std::make_unique<LocalProxyServer>();
  proxyServer_->setStatsCallback(
      [this](int64_t sent, int64_t received) { onProxyStats(sent, received); });

  {
    std::lock_guard<std::mutex> lock(pushMutex_);
    pushesEnabled_ = true;
  }
  logLine("Method Channels已设置");
}

void AppState::stopStatisticsPushes() {
  std::lock_guard<std::mutex> lock(pushMutex_);
  pushesEnabled_ = false;
}

void AppState::setWaitForTesting(std::function<void(std::chrono::milliseconds)> wait) {
  wait_ = std::move(wait);
}

}  // namespace quillon
