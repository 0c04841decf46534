// Tunnels through the real proxy for the integration tests: the client side of a CONNECT
// hand-shake, a tunnel whose upstream end the test plays itself, and starting the proxy on a
// free port. Every wait is bounded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "loopback.h"
#include "proxy/local_proxy_server.h"
#include "proxy/socket_compat.h"

namespace quillon::testing {

// The reply a client gets once its CONNECT tunnel is up.
inline const std::string kEstablishedReply = "HTTP/1.1 200 Connection Established\r\n\r\n";
// What the upstream played by the tests answers to a CONNECT request.
inline const std::string kUpstreamConnectAnswer = "HTTP/1.1 200 Connection established\r\n\r\n";

// Client side of a CONNECT through the proxy on proxyPort: sends "CONNECT target HTTP/1.1"
// and expects the proxy's fixed reply. Returns the connected (blocking) socket, or an empty
// one when a step failed or timed out. Someone else must play the upstream.
Socket openTunnel(uint16_t proxyPort, const std::string& target, int timeoutMs = 10000);

// Both ends of a tunnel through the proxy.
struct TunnelPair {
  Socket client;
  Socket upstream;
  // Bytes of the proxy's CONNECT request as they arrived upstream.
  size_t upstreamHeadBytes = 0;
};

// Opens a tunnel through the proxy on proxyPort whose upstream is `upstream`, played by the
// calling thread: the client sends its CONNECT, the upstream connection is accepted, its
// request head read and answered with kUpstreamConnectAnswer, and the client's reply checked.
// Nothing else may be connecting to `upstream` meanwhile. False when a step failed.
bool openTunnelPair(uint16_t proxyPort, LoopbackListener& upstream, const std::string& target,
                    TunnelPair* out, int timeoutMs = 10000);

// Starts `server` towards 127.0.0.1:upstreamPort on a free port, retrying on a fresh port when
// another process took the chosen one first, without spare upstream connections (the tests
// that use it accept the proxy's upstream connections in the order of their requests).
// Returns the port, or 0 when start failed.
uint16_t startOnFreePort(LocalProxyServer& server, uint16_t upstreamPort,
                         const std::string& username = "", const std::string& password = "");

}  // namespace quillon::testing
