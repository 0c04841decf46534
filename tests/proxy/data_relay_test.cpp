// The relay of a tunnel: an end of stream passed on while the other way goes on, failures
// passed on as resets at once, the registry lines and their throttling, the kilobyte line, and
// integrity of bulk data in both directions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <random>
#include <thread>

#include "proxy/data_relay.h"
#include "proxy_harness.h"

namespace quillon::testing {
namespace {

// Accepts the tunnel, sends `bytes` of payload, then closes its side.
FakeUpstream::Script sendThenClose(size_t bytes) {
  return [bytes](FakeConnection& connection) {
    connection.readUntil("\r\n\r\n");
    connection.send(kAccept);
    connection.send(std::string(bytes, 'd'));
    connection.close();
  };
}

TEST(DataRelay, UpstreamClosingFirstIsPassedOnAndTheClientsCloseEndsTheTunnel) {
  struct Row {
    size_t bytes;
    bool kilobyteLine;
  };
  const Row rows[] = {{0, false}, {1048576, false}, {1048577, true}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.bytes);
    ProxyHarness harness(sendThenClose(row.bytes));
    ASSERT_TRUE(harness.start());
    std::string prefix;
    Socket client = harness.openSession(connectHead("192.0.2.1:443"), prefix);
    bool closed = false;
    const std::string got = recvUntilClosed(client, 10000, &closed);
    EXPECT_TRUE(closed) << "the client sees its connection end";
    EXPECT_EQ(got.size(), 39 + row.bytes);
    EXPECT_EQ(got.substr(0, 39), kReply);
    // The upstream's end reached the client as an end of stream; the client's direction stays
    // open until the client closes too.
    ASSERT_TRUE(harness.waitForTunnelCount(1));
    EXPECT_TRUE(harness.log.contains(prefix + "代理->客户端: 连接关闭"));
    client.reset();
    ASSERT_TRUE(harness.waitForNoTunnels());
    EXPECT_TRUE(harness.log.contains(prefix + "客户端->代理: 连接关闭"));
    EXPECT_EQ(harness.log.contains(prefix + "代理->客户端: 转发线程结束，总共转发 1024 KB"),
              row.kilobyteLine);
    EXPECT_EQ(harness.server->totalBytesReceived(),
              static_cast<int64_t>(sizeof kAccept - 1 + row.bytes));
    EXPECT_TRUE(harness.log.containsPrefix("数据隧道已关闭: " + prefix + "tunnel-192.0.2.1:443-"));
  }
}

// One side ends its sending after what it had to say; the other side's answer, sent after
// that, still arrives whole, and the tunnel ends once both sides have ended.
TEST(DataRelay, AHalfCloseIsPassedOnAndTheOtherWayKeepsGoing) {
  const std::string big(1048576, 'x');
  struct Row {
    std::string name;
    std::string head;      // what the client sends first
    bool clientEndsFirst;  // else the upstream ends its side first
  };
  const Row rows[] = {
      {"tunnel, client ends first", connectHead("192.0.2.1:443"), true},
      {"tunnel, upstream ends first", connectHead("192.0.2.1:443"), false},
      {"plain HTTP, client ends first", "GET http://192.0.2.1/big HTTP/1.1\r\n\r\n", true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const bool tunnel = row.head.rfind("CONNECT", 0) == 0;
    ProxyHarness harness([&](FakeConnection& connection) {
      connection.readUntil("\r\n\r\n");
      if (tunnel) connection.send(kAccept);
      if (row.clientEndsFirst) {
        // Everything the client sent, up to its end, then the whole answer.
        connection.readUntilClosed(10000);
        connection.send(big);
      } else {
        shutdownSending(connection.handle());
        connection.readExactly(big.size());
      }
    });
    ASSERT_TRUE(harness.start());
    std::string prefix;
    Socket client = harness.openSession(row.head, prefix);
    if (tunnel) {
      ASSERT_EQ(recvExactly(client, 39), kReply);
    }
    if (row.clientEndsFirst) {
      // Through a tunnel any bytes go; over plain HTTP the request itself was the last word.
      const std::string last = tunnel ? "last words" : "";
      ASSERT_TRUE(sendText(client, last));
      shutdownSending(client.get());
      bool closed = false;
      EXPECT_EQ(recvUntilClosed(client, 10000, &closed), big);
      EXPECT_TRUE(closed);
      EXPECT_NE(harness.upstream.received(0).find(last), std::string::npos);
    } else {
      bool closed = false;
      recvUntilClosed(client, 10000, &closed);
      EXPECT_TRUE(closed) << "the upstream's end reaches the client";
      ASSERT_TRUE(sendText(client, big)) << "the client can still send";
      ASSERT_TRUE(harness.upstream.waitForScriptEnd(0, 10000));
      EXPECT_EQ(harness.upstream.received(0).size(), 144 + big.size());
    }
    client.reset();
    EXPECT_TRUE(harness.waitForNoTunnels());
  }
}

// A failure on one side ends both directions at once and reaches the other side as a reset,
// so a cut transfer never looks complete.
TEST(DataRelay, AResetIsPassedOnAsAReset) {
  ProxyHarness harness([](FakeConnection& connection) {
    connection.readUntil("\r\n\r\n");
    connection.send(kAccept + std::string(65536, 'd'));
    setResetOnClose(connection.handle());
    connection.close();
  });
  ASSERT_TRUE(harness.start());
  std::string prefix;
  Socket client = harness.openSession(connectHead("192.0.2.1:443"), prefix);
  bool closed = false;
  bool reset = false;
  recvUntilClosed(client, 5000, &closed, &reset);
  EXPECT_TRUE(closed);
  EXPECT_TRUE(reset) << "the client saw a clean end of a cut transfer";
  EXPECT_TRUE(harness.waitForSessionLine(prefix, "代理->客户端: 读取错误: 10054"));
  EXPECT_TRUE(harness.waitForNoTunnels(1000));
}

// A direction waiting for its destination to take bytes leaves its own source unwatched, as
// nothing could be done with it; the client's reset while its upload waits on a silent
// upstream ends the tunnel as soon as the upstream moves again.
TEST(DataRelay, AWriterWaitingForItsDestinationLeavesWhenTheOtherSideFails) {
  std::atomic<bool> speak{false};
  ProxyHarness harness([&](FakeConnection& connection) {
    connection.readUntil("\r\n\r\n");
    connection.send(kAccept);
    // Reads nothing more; says one byte when the test asks.
    for (int i = 0; i < 500 && !speak.load(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    connection.send("x");
    connection.readUntilClosed(5000);
  });
  ASSERT_TRUE(harness.start());
  std::string prefix;
  Socket client;
  ASSERT_TRUE(harness.openTunnel(client, prefix));
  // Fill every buffer between the client and the silent upstream.
  ASSERT_TRUE(setSocketBlocking(client.get(), false));
  const std::string chunk(65536, 'u');
  for (int idle = 0; idle < 20;) {
    if (sendSome(client.get(), chunk.data(), chunk.size()) > 0) {
      idle = 0;
    } else {
      ++idle;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  setResetOnClose(client.get());
  client.reset();
  const auto spokeAt = std::chrono::steady_clock::now();
  speak.store(true);
  EXPECT_TRUE(harness.waitForNoTunnels(2000));
  EXPECT_LT(std::chrono::steady_clock::now() - spokeAt, std::chrono::seconds(2));
  EXPECT_TRUE(harness.log.containsPrefix("转发" + prefix + "代理->客户端数据失败: "));
}

// Tunnels that have moved data and now wait for more hold no read buffer.
TEST(DataRelay, IdleTunnelsHoldNoReadBuffer) {
  ProxyHarness harness(FakeUpstream::answerThenEcho(kAccept));
  ASSERT_TRUE(harness.start());
  const std::string payload(256 * 1024, 'p');
  std::vector<Socket> clients(10);
  for (Socket& client : clients) {
    std::string prefix;
    ASSERT_TRUE(harness.openTunnel(client, prefix));
    ASSERT_TRUE(sendText(client, payload));
    ASSERT_EQ(recvExactly(client, payload.size(), 10000).size(), payload.size());
  }
  EXPECT_TRUE(waitUntil([] { return relayBuffersHeld() == 0; }, 2000)) << relayBuffersHeld();
  clients.clear();
  EXPECT_TRUE(harness.waitForNoTunnels());
}

// A wait as older Windows versions do it: an entry without events is an invalid argument.
int strictWait(PollEntry* entries, size_t count, int timeoutMs) {
  for (size_t i = 0; i < count; ++i) {
    if (entries[i].events == 0) {
      setLastSocketError(10022);
      return -1;
    }
  }
  return pollSockets(entries, count, timeoutMs);
}

// An upload to an upstream that reads slowly keeps a direction waiting for the upstream while
// the client's socket has nothing wanted of it: that socket is left out of the wait.
TEST(DataRelay, AnUploadUnderBackPressureNeverWaitsWithoutEvents) {
  constexpr size_t kUpload = 4 << 20;
  ProxyHarness harness([](FakeConnection& connection) {
    connection.readUntil("\r\n\r\n");
    setIntOption(connection.handle(), SOL_SOCKET, SO_RCVBUF, 16384);
    connection.send(kAccept);
    // Reads nothing for a while: the upload backs up into the proxy.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    connection.readExactly(kUpload, 20000);
    connection.send("done");
    connection.readUntilClosed(5000);
  });
  setRelayWait(strictWait);
  ASSERT_TRUE(harness.start());
  std::string prefix;
  Socket client;
  ASSERT_TRUE(harness.openTunnel(client, prefix));
  const std::string upload(kUpload, 'u');
  std::thread writer([&] { sendText(client, upload); });
  EXPECT_EQ(recvExactly(client, 4, 30000), "done");
  writer.join();
  client.reset();
  EXPECT_TRUE(harness.waitForNoTunnels());
  setRelayWait(nullptr);
  EXPECT_EQ(harness.upstream.received(0).size(), 144 + kUpload);
  EXPECT_FALSE(harness.log.containsPrefix(prefix + "客户端->代理: 读取错误: "));
}

TEST(DataRelay, RegistryLinesAreThrottled) {
  ProxyHarness harness(FakeUpstream::answerThenEcho(kAccept));
  ASSERT_TRUE(harness.start());
  std::vector<Socket> clients;
  for (int i = 1; i <= 6; ++i) {
    std::string prefix;
    clients.push_back(harness.openSession(connectHead("192.0.2.1:443"), prefix));
    ASSERT_EQ(recvExactly(clients.back(), 39), kReply);
    ASSERT_TRUE(harness.waitForTunnelCount(2 * i));
  }
  std::vector<int> registered;
  for (const std::string& line : harness.log.lines()) {
    if (line.rfind("新的数据隧道注册: ", 0) != 0) continue;
    registered.push_back(std::atoi(line.substr(line.rfind(": ") + 2).c_str()));
  }
  EXPECT_EQ(registered, (std::vector<int>{1, 7, 10}));
  clients.clear();
  ASSERT_TRUE(harness.waitForNoTunnels());
  EXPECT_TRUE(harness.log.waitForPrefix("数据隧道已关闭: "));
  const std::string zeroTail = ", 当前活跃隧道数: 0";
  bool zeroLine = false;
  for (const std::string& line : harness.log.lines()) {
    zeroLine |= line.rfind("数据隧道已关闭: ", 0) == 0 && line.size() > zeroTail.size() &&
                line.compare(line.size() - zeroTail.size(), zeroTail.size(), zeroTail) == 0;
  }
  EXPECT_TRUE(zeroLine);
}

TEST(DataRelay, BulkDataArrivesIntactBothWays) {
  ProxyHarness harness(FakeUpstream::answerThenEcho(kAccept));
  ASSERT_TRUE(harness.start());
  std::string prefix;
  Socket client;
  ASSERT_TRUE(harness.openTunnel(client, prefix));

  std::mt19937 random(7);
  std::string payload(3 * 1048576, '\0');
  for (char& c : payload) c = static_cast<char>(random());
  std::string echoed;
  std::thread writer([&] {
    size_t at = 0;
    while (at < payload.size()) {
      const size_t chunk = std::min<size_t>(1 + random() % 20000, payload.size() - at);
      if (sendAll(client.get(), payload.data() + at, chunk) != chunk) break;
      at += chunk;
    }
  });
  echoed = recvExactly(client, payload.size(), 30000);
  writer.join();
  EXPECT_EQ(echoed.size(), payload.size());
  EXPECT_TRUE(echoed == payload) << "the bytes arrive unchanged and in order";
  client.reset();
  ASSERT_TRUE(harness.waitForNoTunnels());
  EXPECT_EQ(harness.server->totalBytesSent(), static_cast<int64_t>(144 + payload.size()));
  EXPECT_EQ(harness.server->totalBytesReceived(),
            static_cast<int64_t>(sizeof kAccept - 1 + payload.size()));
  EXPECT_TRUE(harness.log.contains(prefix + "客户端->代理: 转发线程结束，总共转发 3072 KB"));
}

}  // namespace
}  // namespace quillon::testing
