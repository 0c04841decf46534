#include "proxy/self_loop.h"

#include <algorithm>
#include <memory>

#include "proxy/socket_compat.h"

namespace quillon {

namespace {

bool isLoopbackOrAny(uint32_t address) { return (address >> 24) == 127 || address == 0; }

// The upstream's IPv4 addresses (host byte order), looked up the way a session does.
std::vector<uint32_t> resolveIpv4(const std::string& host) {
  std::vector<uint32_t> addresses;
  // getaddrinfo needs the socket library started on Windows, also on the UI thread.
  if (!socketLayerStartup()) return addresses;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0) {
    const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
    for (const addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
      if (entry->ai_family != AF_INET || entry->ai_addr == nullptr) continue;
      const auto* ipv4 = reinterpret_cast<const sockaddr_in*>(entry->ai_addr);
      addresses.push_back(ntohl(ipv4->sin_addr.s_addr));
    }
  }
  socketLayerCleanup();
  return addresses;
}

}  // namespace

bool upstreamIsOwnListener(const std::string& proxyHost, uint16_t proxyPort, uint16_t localPort) {
  if (proxyPort != localPort || proxyHost.empty()) return false;
  const std::vector<uint32_t> upstream = resolveIpv4(proxyHost);
  if (upstream.empty()) return false;
  if (std::any_of(upstream.begin(), upstream.end(), isLoopbackOrAny)) return true;
  const std::vector<uint32_t> local = localIpv4Addresses();
  return std::any_of(upstream.begin(), upstream.end(), [&local](uint32_t address) {
    return std::find(local.begin(), local.end(), address) != local.end();
  });
}

}  // namespace quillon
