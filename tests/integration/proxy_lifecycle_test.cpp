// The proxy's life cycle against live traffic on loopback: stopping and destroying the server
// while tunnels run, and a silent client that must not hold up anyone else.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "descriptor_count.h"
#include "log_capture.h"
#include "loopback.h"
#include "proxy/local_proxy_server.h"
#include "tunnel_harness.h"

namespace quillon::testing {
namespace {

using Clock = std::chrono::steady_clock;

std::vector<TunnelPair> openTunnels(uint16_t port, LoopbackListener& upstream, int count) {
  std::vector<TunnelPair> tunnels;
  for (int i = 0; i < count; ++i) {
    TunnelPair pair;
    if (!openTunnelPair(port, upstream, "live" + std::to_string(i) + ":443", &pair)) break;
    tunnels.push_back(std::move(pair));
  }
  return tunnels;
}

// Sends `size` bytes each way through every tunnel and checks that they arrive unchanged.
void exchange(std::vector<TunnelPair>& tunnels, size_t size, char fill) {
  for (size_t i = 0; i < tunnels.size(); ++i) {
    const std::string up(size, static_cast<char>(fill + i));
    const std::string down(size, static_cast<char>(fill + i + 16));
    ASSERT_TRUE(sendText(tunnels[i].client, up));
    EXPECT_EQ(recvExactly(tunnels[i].upstream, size), up) << "tunnel " << i;
    ASSERT_TRUE(sendText(tunnels[i].upstream, down));
    EXPECT_EQ(recvExactly(tunnels[i].client, size), down) << "tunnel " << i;
  }
}

TEST(ProxyLifecycle, StopLeavesLiveTunnelsRunningAndCountsThemWhenTheyClose) {
  ensureSocketLayer();
  LogCapture log;
  LoopbackListener upstream;
  LocalProxyServer server;
  const uint16_t port = startOnFreePort(server, upstream.port());
  ASSERT_NE(port, 0);
  std::vector<TunnelPair> tunnels = openTunnels(port, upstream, 3);
  ASSERT_EQ(tunnels.size(), 3u);
  exchange(tunnels, 1000, 'a');

  server.stop();
  EXPECT_FALSE(server.isRunning());
  EXPECT_EQ(server.activeTunnelCount(), 6);
  // So far only the hand-shakes are counted; relayed bytes count when a direction ends.
  int64_t heads = 0;
  for (const TunnelPair& pair : tunnels) heads += static_cast<int64_t>(pair.upstreamHeadBytes);
  EXPECT_EQ(server.totalBytesSent(), heads);
  EXPECT_EQ(server.totalBytesReceived(), static_cast<int64_t>(3 * kUpstreamConnectAnswer.size()));

  exchange(tunnels, 5000, 'k');
  EXPECT_EQ(server.activeTunnelCount(), 6);

  // A new start resets the totals; the tunnels of the old run still add theirs at the end.
  ASSERT_TRUE(server.start(ProxyConfig{port, "127.0.0.1", upstream.port(), "", ""}));
  EXPECT_EQ(server.totalBytesSent(), 0);
  for (TunnelPair& pair : tunnels) {
    pair.client.reset();
    bool closed = false;
    recvUntilClosed(pair.upstream, 5000, &closed);
    EXPECT_TRUE(closed);
    pair.upstream.reset();
  }
  EXPECT_TRUE(waitUntil([&] { return server.activeTunnelCount() == 0; }, 5000));
  EXPECT_EQ(server.totalBytesSent(), 3 * 6000);
  EXPECT_EQ(server.totalBytesReceived(), 3 * 6000);
  server.stop();
}

TEST(ProxyLifecycle, DestroyingTheServerWithLiveTunnelsIsBoundedAndSafe) {
  ensureSocketLayer();
  LogCapture log;
  LoopbackListener upstream;
  const int descriptorsBefore = openDescriptorCount();
  std::vector<TunnelPair> tunnels;
  std::weak_ptr<ProxyCore> core;
  {
    auto server = std::make_unique<LocalProxyServer>();
    const uint16_t port = startOnFreePort(*server, upstream.port());
    ASSERT_NE(port, 0);
    tunnels = openTunnels(port, upstream, 10);
    ASSERT_EQ(tunnels.size(), 10u);
    exchange(tunnels, 2000, 'A');
    core = server->core();

    std::promise<void> destroyed;
    std::future<void> done = destroyed.get_future();
    std::thread destroyer([&] {
      server.reset();
      destroyed.set_value();
    });
    const bool inTime = done.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    destroyer.join();
    EXPECT_TRUE(inTime) << "destroying the server took more than 10 s";
  }

  // Each tunnel either goes on carrying bytes or has been ended; neither side may hang.
  const std::string probe = "after the server";
  for (size_t i = 0; i < tunnels.size(); ++i) {
    if (!sendText(tunnels[i].client, probe)) continue;
    const std::string arrived = recvExactly(tunnels[i].upstream, probe.size());
    EXPECT_TRUE(arrived == probe || arrived.empty()) << "tunnel " << i << ": " << arrived;
  }
  for (TunnelPair& pair : tunnels) {
    pair.client.reset();
    bool closed = false;
    recvUntilClosed(pair.upstream, 5000, &closed);
    EXPECT_TRUE(closed);
    pair.upstream.reset();
  }
  // The relays hold the last shares of the server's totals and registry and let go when they
  // end.
  EXPECT_TRUE(waitUntil([&] { return core.expired(); }, 10000));
  if (descriptorsBefore >= 0) {
    EXPECT_LE(waitForDescriptorCount(descriptorsBefore, 5000), descriptorsBefore);
  }
}

TEST(ProxyLifecycle, SilentClientDoesNotHoldUpOtherRequests) {
  ensureSocketLayer();
  LogCapture log;
  // Answers every request, CONNECT or not, with the tunnel answer and then echoes.
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kUpstreamConnectAnswer));
  LocalProxyServer server;
  ProxyTimeouts timeouts;
  timeouts.reapIntervalMs = 100;  // a reaping pass between almost every two requests
  server.setTimeouts(timeouts);
  const uint16_t port = startOnFreePort(server, upstream.port());
  ASSERT_NE(port, 0);

  // Client numbers run on across the whole process; the silent client's prefix is read from
  // its first line.
  log.clear();
  Socket silent = connectLoopback(port);
  ASSERT_TRUE(silent.valid());
  std::string prefix;
  ASSERT_TRUE(waitUntil(
      [&] {
        for (const std::string& line : log.lines()) {
          const size_t at = line.find("新客户端连接");
          if (at != std::string::npos) prefix = line.substr(0, at);
        }
        return !prefix.empty();
      },
      5000));

  for (int i = 0; i < 50; ++i) {
    SCOPED_TRACE("request " + std::to_string(i));
    const auto started = Clock::now();
    const std::string ping = "ping " + std::to_string(i);
    if (i % 2 == 0) {
      // Plain HTTP: the upstream's answer comes back through the relay.
      Socket client = connectLoopback(port);
      ASSERT_TRUE(client.valid());
      ASSERT_TRUE(sendText(client, "GET http://192.0.2.1/r" + std::to_string(i) +
                                       " HTTP/1.1\r\nHost: 192.0.2.1\r\n\r\n"));
      EXPECT_EQ(recvExactly(client, kUpstreamConnectAnswer.size()), kUpstreamConnectAnswer);
      // A second request on the connection comes back (echoed) rewritten like the first.
      const std::string second = "/p" + std::to_string(i);
      ASSERT_TRUE(sendText(client, "GET " + second + " HTTP/1.1\r\nHost: 192.0.2.1\r\n\r\n"));
      EXPECT_NE(recvUntil(client, "\r\n\r\n").find("GET http://192.0.2.1" + second),
                std::string::npos);
    } else {
      Socket client = openTunnel(port, "echo" + std::to_string(i) + ":443", 5000);
      ASSERT_TRUE(client.valid());
      ASSERT_TRUE(sendText(client, ping));
      EXPECT_EQ(recvExactly(client, ping.size()), ping);
    }
    const auto tookMs =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started).count();
    EXPECT_LT(tookMs, 3000);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }

  // The silent client's session is still waiting for its request head.
  EXPECT_FALSE(log.contains(prefix + "接收客户端请求失败或连接已断开"));
  silent.reset();
  EXPECT_TRUE(log.waitFor(prefix + "接收客户端请求失败或连接已断开", 5000));
  server.stop();
}

}  // namespace
}  // namespace quillon::testing
