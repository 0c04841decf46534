// A LocalProxyServer on a free loopback port in front of a scripted fake upstream, with its
// log captured and its time limits shortened, for the socket tests of the proxy.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "log_capture.h"
#include "loopback.h"
#include "proxy/local_proxy_server.h"

namespace quillon::testing {

// The proxy's fixed reply to a CONNECT, and an upstream answer that opens a tunnel.
inline constexpr char kReply[] = "HTTP/1.1 200 Connection Established\r\n\r\n";
inline constexpr char kAccept[] = "HTTP/1.1 200 Connection established\r\n\r\n";

// A CONNECT request head for `target`.
std::string connectHead(const std::string& target = "192.0.2.1:443");

// Time limits short enough for tests; each test that relies on one says so.
ProxyTimeouts shortTimeouts();
// The production limits without spare upstream connections: the harness's default, so that
// the fake upstream's connections are the sessions' own, in their order.
ProxyLimits noSpares();

class ProxyHarness {
 public:
  explicit ProxyHarness(FakeUpstream::Script script,
                        const ProxyTimeouts& timeouts = shortTimeouts());
  ~ProxyHarness();

  // Starts the proxy towards the fake upstream; false when no free port could be bound.
  bool start(const std::string& username = "", const std::string& password = "");

  // Connects a client to the proxy.
  Socket connect() const;
  // Connects, sends `head` and waits until the session has written its first line; returns
  // the client socket and sets `prefix` to the session's "[会话-N] ".
  Socket openSession(const std::string& head, std::string& prefix);

  // Opens a CONNECT tunnel to 192.0.2.1:443; true when the client got the proxy's reply.
  bool openTunnel(Socket& client, std::string& prefix);

  // The "[会话-N] " of the most recent session that logged its first line.
  std::string lastSessionPrefix();
  // Waits for the line `prefix` + `text`.
  bool waitForSessionLine(const std::string& prefix, const std::string& text, int timeoutMs = 5000);

  // Waits until exactly `count` relay directions are registered.
  bool waitForTunnelCount(int count, int timeoutMs = 5000);
  bool waitForNoTunnels(int timeoutMs = 5000) { return waitForTunnelCount(0, timeoutMs); }

  LogCapture log;
  FakeUpstream upstream;
  std::unique_ptr<LocalProxyServer> server;
  uint16_t port = 0;
};

}  // namespace quillon::testing
