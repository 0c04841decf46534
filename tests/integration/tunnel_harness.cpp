#include "tunnel_harness.h"

#include <chrono>
#include <thread>

namespace quillon::testing {

namespace {

std::string connectRequest(const std::string& target) {
  return "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
}

}  // namespace

Socket openTunnel(uint16_t proxyPort, const std::string& target, int timeoutMs) {
  Socket client = connectLoopback(proxyPort, timeoutMs);
  if (!client.valid() || !sendText(client, connectRequest(target)) ||
      recvExactly(client, kEstablishedReply.size(), timeoutMs) != kEstablishedReply) {
    return Socket();
  }
  return client;
}

bool openTunnelPair(uint16_t proxyPort, LoopbackListener& upstream, const std::string& target,
                    TunnelPair* out, int timeoutMs) {
  TunnelPair pair;
  pair.client = connectLoopback(proxyPort, timeoutMs);
  if (!pair.client.valid() || !sendText(pair.client, connectRequest(target))) return false;
  pair.upstream = upstream.accept(timeoutMs);
  if (!pair.upstream.valid()) return false;
  const std::string head = recvUntil(pair.upstream, "\r\n\r\n", timeoutMs);
  if (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) return false;
  pair.upstreamHeadBytes = head.size();
  if (!sendText(pair.upstream, kUpstreamConnectAnswer) ||
      recvExactly(pair.client, kEstablishedReply.size(), timeoutMs) != kEstablishedReply) {
    return false;
  }
  *out = std::move(pair);
  return true;
}

uint16_t startOnFreePort(LocalProxyServer& server, uint16_t upstreamPort,
                         const std::string& username, const std::string& password) {
  ProxyLimits limits = server.limits();
  limits.maxSpares = 0;
  server.setLimits(limits);
  for (int attempt = 0; attempt < 5; ++attempt) {
    const uint16_t port = freeLoopbackPort();
    if (port != 0 &&
        server.start(ProxyConfig{port, "127.0.0.1", upstreamPort, username, password})) {
      return port;
    }
  }
  return 0;
}

}  // namespace quillon::testing
