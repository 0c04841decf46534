// Load through the real proxy on loopback: many concurrent tunnels moving random bytes both
// ways, and many short connections, with byte totals, the tunnel registry and the process's
// descriptors checked afterwards. The test plays the upstream proxy itself.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "descriptor_count.h"
#include "load_scale.h"
#include "log_capture.h"
#include "loopback.h"
#include "proxy/local_proxy_server.h"
#include "traffic_pump.h"
#include "tunnel_harness.h"

namespace quillon::testing {
namespace {

int countLinesContaining(LogCapture& log, const std::string& text) {
  int count = 0;
  for (const std::string& line : log.lines()) {
    if (line.find(text) != std::string::npos) ++count;
  }
  return count;
}

// The test plays the upstream on `upstream`; every descriptor the proxy opened must be closed
// again once the server is gone and the test has closed its own ends.
class ProxyLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    ensureSocketLayer();
    ASSERT_TRUE(upstream.valid());
    descriptorsBefore = openDescriptorCount();
  }
  void TearDown() override {
    if (descriptorsBefore >= 0) {
      EXPECT_LE(waitForDescriptorCount(descriptorsBefore, 5000), descriptorsBefore);
    }
  }

  LogCapture log;
  LoopbackListener upstream;
  int descriptorsBefore = -1;
};

TEST_F(ProxyLoad, ConcurrentTunnelsCarryEveryByteBothWays) {
  {
    LocalProxyServer server;
    const uint16_t port = startOnFreePort(server, upstream.port());
    ASSERT_NE(port, 0);

    uint64_t handshakeBytesSent = 0;
    std::vector<std::unique_ptr<PumpEnd>> clients;
    std::vector<std::unique_ptr<PumpEnd>> peers;
    std::vector<PumpEnd*> ends;
    for (int i = 0; i < kConcurrentTunnels; ++i) {
      TunnelPair pair;
      ASSERT_TRUE(openTunnelPair(port, upstream, "t" + std::to_string(i) + ":443", &pair))
          << "tunnel " << i;
      handshakeBytesSent += pair.upstreamHeadBytes;
      auto client = std::make_unique<PumpEnd>();
      auto peer = std::make_unique<PumpEnd>();
      client->socket = std::move(pair.client);
      peer->socket = std::move(pair.upstream);
      client->seed = 2 * i + 1;
      peer->seed = 2 * i + 2;
      client->bytesToSend = client->bytesToReceive = kTunnelBytesEachWay;
      peer->bytesToSend = peer->bytesToReceive = kTunnelBytesEachWay;
      peer->closeWhenDone = true;  // the upstream side ends each tunnel
      ends.push_back(client.get());
      ends.push_back(peer.get());
      clients.push_back(std::move(client));
      peers.push_back(std::move(peer));
    }
    EXPECT_TRUE(
        waitUntil([&] { return server.activeTunnelCount() == 2 * kConcurrentTunnels; }, 10000))
        << server.activeTunnelCount();

    EXPECT_TRUE(pumpTraffic(ends, 240000));
    for (int i = 0; i < kConcurrentTunnels; ++i) {
      const PumpEnd& client = *clients[i];
      const PumpEnd& peer = *peers[i];
      SCOPED_TRACE("tunnel " + std::to_string(i));
      EXPECT_FALSE(client.failed) << client.failure;
      EXPECT_FALSE(peer.failed) << peer.failure;
      EXPECT_EQ(peer.received, client.sent);
      EXPECT_EQ(client.received, peer.sent);
      EXPECT_EQ(peer.receivedHash.value(), client.sentHash.value());
      EXPECT_EQ(client.receivedHash.value(), peer.sentHash.value());
      // The proxy closes the client once the upstream side has closed.
      EXPECT_TRUE(client.peerClosed);
    }
    clients.clear();
    peers.clear();

    EXPECT_TRUE(waitUntil([&] { return server.activeTunnelCount() == 0; }, 10000))
        << server.activeTunnelCount();
    const uint64_t payload = kConcurrentTunnels * kTunnelBytesEachWay;
    const uint64_t answers = kConcurrentTunnels * kUpstreamConnectAnswer.size();
    EXPECT_EQ(server.totalBytesSent(), static_cast<int64_t>(handshakeBytesSent + payload));
    EXPECT_EQ(server.totalBytesReceived(), static_cast<int64_t>(answers + payload));
    // The registry became empty, which always writes its close line.
    EXPECT_GE(countLinesContaining(log, ", 当前活跃隧道数: 0"), 1);
    server.stop();
  }
}

// Tunnels that cannot move cost no processor time: the client has sent its request, ended its
// side and does not read; the upstream has answered more than the client takes and ended its
// side too. Every direction waits for a socket that will not become ready. (A system that
// reports the client's end on every wait, as Windows does, must not make the wait spin.)
TEST_F(ProxyLoad, StalledTunnelsCostNoProcessorTime) {
  {
    LocalProxyServer server;
    const uint16_t port = startOnFreePort(server, upstream.port());
    ASSERT_NE(port, 0);
    constexpr int kStalled = 50;
    std::vector<TunnelPair> pairs(kStalled);
    for (int i = 0; i < kStalled; ++i) {
      ASSERT_TRUE(openTunnelPair(port, upstream, "s" + std::to_string(i) + ":443", &pairs[i]));
      ASSERT_TRUE(sendText(pairs[i].client, "request"));
      shutdownSending(pairs[i].client.get());
      ASSERT_EQ(recvUntilClosed(pairs[i].upstream, 5000), "request");
      ASSERT_TRUE(setSocketBlocking(pairs[i].upstream.get(), false));
    }
    // Answers until nothing more fits anywhere between the upstream and the client.
    const std::string chunk(65536, 'a');
    for (int idle = 0; idle < 20;) {
      bool moved = false;
      for (TunnelPair& pair : pairs) {
        moved |= sendSome(pair.upstream.get(), chunk.data(), chunk.size()) > 0;
      }
      if (moved) {
        idle = 0;
      } else {
        ++idle;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }
    for (TunnelPair& pair : pairs) shutdownSending(pair.upstream.get());
    std::this_thread::sleep_for(std::chrono::seconds(1));
    EXPECT_EQ(server.activeTunnelCount(), kStalled) << "only the client directions have ended";

    const long long before = processCpuMilliseconds();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    const long long used = processCpuMilliseconds() - before;
    // Spinning costs seconds; a wait that Windows wakes for a client's end (Wine: about 0.5 ms
    // each) is retried after pauses that grow to 2 s.
    if (before >= 0) {
      EXPECT_LT(used, 250) << used << " ms of processor time in 5 s";
    }
    pairs.clear();
    EXPECT_TRUE(waitUntil([&] { return server.activeTunnelCount() == 0; }, 10000));
    server.stop();
  }
}

TEST_F(ProxyLoad, ConnectAndCloseCyclesLeakNothing) {
  {
    LocalProxyServer server;
    ProxyTimeouts timeouts;
    timeouts.reapIntervalMs = 100;  // many reaping passes while the cycles run
    server.setTimeouts(timeouts);
    const uint16_t port = startOnFreePort(server, upstream.port());
    ASSERT_NE(port, 0);

    // Even cycles connect and close without sending a byte; odd ones open a tunnel and the
    // client closes it at once, so that the relays end it and close the upstream side.
    for (int i = 0; i < kConnectCloseCycles; ++i) {
      if (i % 2 == 0) {
        ASSERT_TRUE(connectLoopback(port).valid()) << "cycle " << i;
        continue;
      }
      TunnelPair pair;
      ASSERT_TRUE(openTunnelPair(port, upstream, "c" + std::to_string(i) + ":80", &pair))
          << "cycle " << i;
      pair.client.reset();
      bool closed = false;
      recvUntilClosed(pair.upstream, 5000, &closed);
      ASSERT_TRUE(closed) << "cycle " << i;
    }

    const int silentClients = (kConnectCloseCycles + 1) / 2;
    EXPECT_TRUE(waitUntil(
        [&] {
          return countLinesContaining(log, "接收客户端请求失败或连接已断开") == silentClients;
        },
        20000))
        << countLinesContaining(log, "接收客户端请求失败或连接已断开");
    EXPECT_TRUE(waitUntil([&] { return server.activeTunnelCount() == 0; }, 10000))
        << server.activeTunnelCount();

    // Still serving afterwards.
    TunnelPair pair;
    ASSERT_TRUE(openTunnelPair(port, upstream, "after:80", &pair));
    ASSERT_TRUE(sendText(pair.client, "still there?"));
    EXPECT_EQ(recvExactly(pair.upstream, 12), "still there?");
    pair = TunnelPair();
    EXPECT_TRUE(waitUntil([&] { return server.activeTunnelCount() == 0; }, 10000));
    server.stop();
  }
}

}  // namespace
}  // namespace quillon::testing
