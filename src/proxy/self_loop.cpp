#include "proxy/self_loop.h"

#include <algorithm>

#include "proxy/socket_compat.h"

namespace quillon {

namespace {

bool isLoopbackOrAny(uint32_t address) { return (address >> 24) == 127 || address == 0; }

}  // namespace

bool upstreamIsOwnListener(const std::string& proxyHost, uint16_t proxyPort, uint16_t localPort) {
  if (proxyPort != localPort || proxyHost.empty()) return false;
  // The lookup is the sessions' own, so the address judged is the one they would connect to.
  // It needs the socket library started on Windows, also on the UI thread.
  if (!socketLayerStartup()) return false;
  sockaddr_in address{};
  const int resolved = resolveIpv4(proxyHost, proxyPort, address);
  socketLayerCleanup();
  if (resolved != 0) return false;
  const uint32_t upstream = ntohl(address.sin_addr.s_addr);
  if (isLoopbackOrAny(upstream)) return true;
  const std::vector<uint32_t> local = localIpv4Addresses();
  return std::find(local.begin(), local.end(), upstream) != local.end();
}

}  // namespace quillon
