#include "proxy/proxy_core.h"

#include <cstdlib>

#include "log/app_log.h"
#include "proxy/socket_compat.h"

namespace quillon {

ProxyCore::ProxyCore() : socketLayerHeld(socketLayerStartup()) {}

ProxyCore::~ProxyCore() {
  if (socketLayerHeld) socketLayerCleanup();
}

bool ProxyCore::admitClient(int limit, int reserve, bool loopback) {
  if (!loopback) limit -= reserve;
  int count = clientConnections.load();
  do {
    if (count >= limit) return false;
  } while (!clientConnections.compare_exchange_weak(count, count + 1));
  return true;
}

void ProxyCore::clientEnded() { clientConnections.fetch_sub(1); }

void ProxyCore::addSent(int64_t bytes) {
  std::lock_guard<std::mutex> lock(statsMutex);
  totalBytesSent += bytes;
}

void ProxyCore::addReceived(int64_t bytes) {
  std::lock_guard<std::mutex> lock(statsMutex);
  totalBytesReceived += bytes;
}

void ProxyCore::resetTotals() {
  std::lock_guard<std::mutex> lock(statsMutex);
  totalBytesSent = 0;
  totalBytesReceived = 0;
}

int64_t ProxyCore::sent() {
  std::lock_guard<std::mutex> lock(statsMutex);
  return totalBytesSent;
}

int64_t ProxyCore::received() {
  std::lock_guard<std::mutex> lock(statsMutex);
  return totalBytesReceived;
}

void ProxyCore::registerTunnel(const std::string& tunnelId) {
  std::lock_guard<std::mutex> lock(tunnelsMutex);
  activeTunnels.insert(tunnelId);
  const int n = static_cast<int>(activeTunnels.size());
  if (lastRegisterCount == 0 || std::abs(n - lastRegisterCount) > 5 || n % 10 == 0) {
    logLine("新的数据隧道注册: ", tunnelId, ", 当前活跃隧道数: ", n);
    lastRegisterCount = n;
  }
}

void ProxyCore::unregisterTunnel(const std::string& tunnelId) {
  std::lock_guard<std::mutex> lock(tunnelsMutex);
  activeTunnels.erase(tunnelId);
  const int n = static_cast<int>(activeTunnels.size());
  if (std::abs(n - lastCloseCount) > 5 || n % 10 == 0) {
    logLine("数据隧道已关闭: ", tunnelId, ", 当前活跃隧道数: ", n);
    lastCloseCount = n;
  }
}

int ProxyCore::tunnelCount() {
  std::lock_guard<std::mutex> lock(tunnelsMutex);
  return static_cast<int>(activeTunnels.size());
}

}  // namespace quillon
