// The handler of "com.quillon.app/stats" and the once-a-second "onStatsUpdate" push.
#include <utility>

#include "channels/app_state.h"
#include "channels/channel_arguments.h"
#include "log/app_log.h"
#include "log/log_text.h"

namespace quillon {

namespace {

// The channel carries byte totals as int32: only their low 32 bits, read as a signed value.
int32_t low32(int64_t value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

}  // namespace

void AppState::handleStatsMethodCall(const ChannelCall& call, ChannelResult result) {
  const std::string& method = call.methodName();
  logLine("收到统计数据通道调用: ", loggableText(method));

  if (method == "updateStats") {
    const flutter::EncodableMap* map = argumentMap(call.arguments());
    if (map == nullptr) {
      result->Error("INVALID_ARGUMENTS", "缺少必要参数");
      return;
    }
    const int64_t sent = int32Argument(*map, "bytesSent", 0);
    const int64_t received = int32Argument(*map, "bytesReceived", 0);
    logLine("更新流量统计: 发送=", sent, " 接收=", received);
    bytesSent_ += sent;
    bytesReceived_ += received;
    result->Success(flutter::EncodableValue(true));
  } else if (method == "getStats") {
    if (proxyRunning()) {
      activeConnections_ = proxyServer_->activeTunnelCount();
      bytesSent_ = proxyServer_->totalBytesSent();
      bytesReceived_ = proxyServer_->totalBytesReceived();
    }
    result->Success(statisticsMap());
  } else {
    result->NotImplemented();
  }
}

void AppState::onProxyStats(int64_t sent, int64_t received) {
  bytesSent_ = sent;
  bytesReceived_ = received;
  if (proxyRunning()) {
    activeConnections_ = proxyServer_->activeTunnelCount();
    logLine("当前活跃连接数: ", activeConnections_.load(), ", 总发送: ", bytesSent_.load(),
            ", 总接收: ", bytesReceived_.load());
  }

  flutter::EncodableValue update = statisticsMap();
  std::lock_guard<std::mutex> lock(pushMutex_);
  if (pushesEnabled_ && statsChannel_ != nullptr) {
    statsChannel_->invokeMethod("onStatsUpdate", std::move(update));
  }
}

flutter::EncodableValue AppState::statisticsMap() const {
  return flutter::EncodableValue(flutter::EncodableMap{
      {flutter::EncodableValue("bytesSent"), flutter::EncodableValue(low32(bytesSent_.load()))},
      {flutter::EncodableValue("bytesReceived"),
       flutter::EncodableValue(low32(bytesReceived_.load()))},
      {flutter::EncodableValue("activeConnections"),
       flutter::EncodableValue(activeConnections_.load())},
  });
}

}  // namespace quillon
