// The state that the tunnels touch as they begin and end: the byte totals and the registry of
// running relay directions. The server and every tunnel hold it by shared ownership, so
// a relay that outlives stop() or the server itself still finds it alive.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <set>
#include <string>
#include <string_view>

#include "proxy/socket_compat.h"

namespace quillon {

struct ProxyCore {
  ProxyCore();
  ~ProxyCore();
  ProxyCore(const ProxyCore&) = delete;
  ProxyCore& operator=(const ProxyCore&) = delete;

  void addSent(int64_t bytes);
  void addReceived(int64_t bytes);
  void resetTotals();
  int64_t sent();
  int64_t received();

  // Inserts / removes a relay direction and writes the throttled registry line.
  void registerTunnel(const std::string& tunnelId);
  void unregisterTunnel(const std::string& tunnelId);
  int tunnelCount();

  // Counts a client connection from accept until its job (session and tunnel) has ended; false,
  // counting nothing, when `limit` connections are already counted, or `limit - reserve` for a
  // client that is not of this machine (`loopback` false).
  bool admitClient(int limit, int reserve, bool loopback);
  void clientEnded();
  int clientCount() const { return clientConnections.load(); }

  // Holds a reference on the socket library for as long as any session or relay may use it,
  // so that the listener's clean-up never pulls it from under a running tunnel.
  bool socketLayerHeld = false;

  std::atomic<int> clientConnections{0};

  std::mutex statsMutex;
  int64_t totalBytesSent = 0;      // guarded by statsMutex
  int64_t totalBytesReceived = 0;  // guarded by statsMutex

  std::mutex tunnelsMutex;
  std::set<std::string> activeTunnels;  // guarded by tunnelsMutex
  // Last counts written by the registration and close lines; guarded by tunnelsMutex.
  int lastRegisterCount = 0;
  int lastCloseCount = 0;
};

}  // namespace quillon
