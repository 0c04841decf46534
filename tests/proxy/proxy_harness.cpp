#include "proxy_harness.h"

#include <chrono>
#include <thread>

namespace quillon::testing {

namespace {

constexpr char kFirstLine[] = "新客户端连接";

}  // namespace

std::string connectHead(const std::string& target) {
  return "CONNECT " + target + " HTTP/1.1\r\nHost: " + target + "\r\n\r\n";
}

ProxyTimeouts shortTimeouts() {
  ProxyTimeouts timeouts;
  timeouts.clientHeadMs = 1500;
  timeouts.upstreamIoMs = 1000;
  timeouts.upstreamAnswerMs = 1000;
  timeouts.upstreamConnectMs = 3000;
  timeouts.reapIntervalMs = 300;
  return timeouts;
}

ProxyHarness::ProxyHarness(FakeUpstream::Script script, const ProxyTimeouts& timeouts)
    : upstream(std::move(script)), server(std::make_unique<LocalProxyServer>()) {
  server->setTimeouts(timeouts);
  server->setLimits(noSpares());
}

ProxyLimits noSpares() {
  ProxyLimits limits;
  limits.maxSpares = 0;
  return limits;
}

ProxyHarness::~ProxyHarness() {
  // A session that a failed test left held in the log would keep stop() from writing its lines.
  log.release();
  server.reset();
}

bool ProxyHarness::start(const std::string& username, const std::string& password) {
  // A port found free can be taken by someone else before the proxy binds it; try a few.
  for (int attempt = 0; attempt < 5; ++attempt) {
    port = freeLoopbackPort();
    if (server->start(ProxyConfig{port, "127.0.0.1", upstream.port(), username, password}))
      return true;
  }
  return false;
}

Socket ProxyHarness::connect() const { return connectLoopback(port); }

std::string ProxyHarness::lastSessionPrefix() {
  std::string prefix;
  for (const std::string& line : log.lines()) {
    const size_t at = line.find(kFirstLine);
    if (line.rfind("[会话-", 0) == 0 && at != std::string::npos &&
        at + sizeof kFirstLine - 1 == line.size()) {
      prefix = line.substr(0, at);
    }
  }
  return prefix;
}

Socket ProxyHarness::openSession(const std::string& head, std::string& prefix) {
  const std::string before = lastSessionPrefix();
  Socket client = connect();
  if (!head.empty()) sendText(client, head);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  prefix = lastSessionPrefix();
  while (prefix == before && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    prefix = lastSessionPrefix();
  }
  return client;
}

bool ProxyHarness::openTunnel(Socket& client, std::string& prefix) {
  client = openSession(connectHead(), prefix);
  return recvExactly(client, sizeof kReply - 1) == kReply;
}

bool ProxyHarness::waitForSessionLine(const std::string& prefix, const std::string& text,
                                      int timeoutMs) {
  return log.waitFor(prefix + text, timeoutMs);
}

bool ProxyHarness::waitForTunnelCount(int count, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (server->activeTunnelCount() != count) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return true;
}

}  // namespace quillon::testing
