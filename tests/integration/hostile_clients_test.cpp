// The proxy under careless and hostile clients, bounded in time and count: heads trickled one
// byte at a time while others are served, thousands of idle connections that come and go,
// and stop() while sessions wait on a slow client, a slow upstream or a name lookup.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
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
#include "proxy/worker_pool.h"
#include "tunnel_harness.h"

namespace quillon::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int countLines(LogCapture& log, const std::string& text) {
  const std::vector<std::string> lines = log.lines();
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(text) != std::string::npos;
  }));
}

TEST(HostileClients, TrickledHeadsDoNotStallOtherClients) {
  ensureSocketLayer();
  LogCapture log;
  LoopbackListener upstream;
  LocalProxyServer server;
  const uint16_t port = startOnFreePort(server, upstream.port());
  ASSERT_NE(port, 0);

  constexpr int kTricklers = 200;
  std::vector<Socket> tricklers;
  for (int i = 0; i < kTricklers; ++i) {
    tricklers.push_back(connectLoopback(port));
    ASSERT_TRUE(tricklers.back().valid()) << i;
  }
  // Every trickler has its session before the served clients are timed: starting 200 threads
  // is slow under the sanitizers, and that start-up is not what this test measures.
  ASSERT_TRUE(waitUntil([&] { return countLines(log, "新客户端连接") >= kTricklers; }, 30000));
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    const std::string head = "GET /slow HTTP/1.1\r\nHost: 192.0.2.1\r\nX-Pad: ";
    for (size_t at = 0; !done.load(); ++at) {
      for (Socket& socket : tricklers) sendText(socket, std::string(1, head[at % head.size()]));
      std::this_thread::sleep_for(milliseconds(100));
    }
  });

  for (int i = 0; i < 50; ++i) {
    SCOPED_TRACE(i);
    const auto began = Clock::now();
    TunnelPair pair;
    ASSERT_TRUE(openTunnelPair(port, upstream, "served" + std::to_string(i) + ":443", &pair));
    ASSERT_TRUE(sendText(pair.client, "ping"));
    EXPECT_EQ(recvExactly(pair.upstream, 4), "ping");
    EXPECT_LT(Clock::now() - began, milliseconds(3000));
  }
  done.store(true);
  trickle.join();
  tricklers.clear();
  EXPECT_TRUE(waitUntil(
      [&] { return countLines(log, "接收客户端请求失败或连接已断开") >= kTricklers; }, 20000));
  server.stop();
}

TEST(HostileClients, IdleConnectionsComeAndGoLeavingNothingBehind) {
  ensureSocketLayer();
  LogCapture log;
  const int limit = raiseDescriptorLimit();
  // Each idle connection costs two descriptors here (both ends live in this process).
  const int connections =
      std::min(kIdleConnections, limit < 0 ? kIdleConnections : (limit - 200) / 2);
  ASSERT_GT(connections, 100);
  const auto parking = WorkerPool::instance().setParkingLimits({4, milliseconds(100)});
  const int descriptorsBefore = openDescriptorCount();
  const int threadsBefore = threadCount();
  {
    LoopbackListener upstream;
    LocalProxyServer server;
    ProxyTimeouts timeouts;
    timeouts.reapIntervalMs = 100;
    server.setTimeouts(timeouts);
    const uint16_t port = startOnFreePort(server, upstream.port());
    ASSERT_NE(port, 0);

    std::vector<Socket> idle;
    for (int i = 0; i < connections; ++i) {
      idle.push_back(connectLoopback(port));
      ASSERT_TRUE(idle.back().valid()) << i;
    }
    const std::string all = "当前活跃连接数: " + std::to_string(connections);
    EXPECT_TRUE(log.waitFor(all, 60000)) << "every idle client has its session";
    idle.clear();
    EXPECT_TRUE(waitUntil([&] { return log.lines().back() == "当前活跃连接数: 0" ||
                                       countLines(log, "接收客户端请求失败或连接已断开") ==
                                           connections; },
                          30000));
    server.stop();
  }
  // The parked threads that stay are at most the pool's limit.
  if (threadsBefore > 0) {
    EXPECT_TRUE(waitUntil([&] { return threadCount() <= threadsBefore + 4; }, 10000))
        << threadCount() << " threads, " << threadsBefore << " before";
  }
  if (descriptorsBefore >= 0) {
    EXPECT_LE(waitForDescriptorCount(descriptorsBefore, 10000), descriptorsBefore);
  }
  WorkerPool::instance().setParkingLimits(parking);
}

// stop() ends sessions that wait on a client's head, on the upstream's answer or on a name
// lookup, and returns within about a second; a session still in its lookup finishes on its
// own afterwards without touching the server that is gone.
TEST(HostileClients, StopReturnsWithinASecondWhateverTheSessionsWaitFor) {
  ensureSocketLayer();
  LogCapture log;
  // Answers one byte of its CONNECT answer every half second.
  FakeUpstream trickling([](FakeConnection& connection) {
    connection.readUntil("\r\n\r\n");
    for (char c : std::string("HTTP/1.1 200 Connection established\r\n\r\n")) {
      if (!connection.send(std::string(1, c))) return;
      std::this_thread::sleep_for(milliseconds(500));
    }
  });
  std::atomic<bool> lookupReleased{false};
  std::atomic<int> lookups{0};
  auto server = std::make_unique<LocalProxyServer>();
  ProxyTimeouts timeouts;
  timeouts.reapIntervalMs = 100;
  server->setTimeouts(timeouts);
  server->setResolver([&](const std::string& host, uint16_t port, sockaddr_in& address) {
    if (lookups.fetch_add(1) == 1) {
      // The second lookup hangs like a name server that does not answer.
      for (int i = 0; i < 1000 && !lookupReleased.load(); ++i) {
        std::this_thread::sleep_for(milliseconds(10));
      }
    }
    return resolveIpv4(host, port, address);
  });
  const uint16_t port = startOnFreePort(*server, trickling.port());
  ASSERT_NE(port, 0);

  Socket slowAnswer = connectLoopback(port);
  ASSERT_TRUE(sendText(slowAnswer, "CONNECT 192.0.2.1:443 HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(trickling.waitForReceivedText(0, "\r\n\r\n"));
  Socket inLookup = connectLoopback(port);
  ASSERT_TRUE(sendText(inLookup, "CONNECT 192.0.2.2:443 HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(waitUntil([&] { return lookups.load() == 2; }));
  Socket halfHead = connectLoopback(port);
  ASSERT_TRUE(sendText(halfHead, "GET /never-ends HTTP/1.1\r\nHost: 192"));
  ASSERT_TRUE(log.waitFor("当前活跃连接数: 3", 10000));

  const auto began = Clock::now();
  server->stop();
  const auto took = Clock::now() - began;
  EXPECT_LT(took, milliseconds(1500))
      << std::chrono::duration_cast<milliseconds>(took).count() << " ms";
  for (Socket* client : {&slowAnswer, &halfHead}) {
    bool closed = false;
    recvUntilClosed(*client, 2000, &closed);
    EXPECT_TRUE(closed);
  }
  EXPECT_EQ(countLines(log, "代理服务器正在停止，会话已结束"), 2);
  // The server goes; the session in its lookup ends on its own once the lookup returns.
  server.reset();
  lookupReleased.store(true);
  bool closed = false;
  recvUntilClosed(inLookup, 5000, &closed);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(waitUntil([&] { return countLines(log, "代理服务器正在停止，会话已结束") == 3; }));
}

}  // namespace
}  // namespace quillon::testing
