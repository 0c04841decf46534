// The server's life cycle, its listener and sessions: start and stop, a busy port, client
// numbering, the head deadline, an unreachable upstream, sends to an upstream that reset, idle
// clients, the statistics ticker, thread failures, and tunnels that outlive stop() or the
// server itself.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "proxy/proxy_core.h"
#include "proxy/session_io.h"
#include "proxy/thread_launch.h"
#include "proxy/worker_pool.h"
#include "proxy_harness.h"
#include "tcp_table.h"

namespace quillon::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

int numberOf(const std::string& prefix) {
  return std::atoi(prefix.substr(std::string("[会话-").size()).c_str());
}

TEST(ProxyServer, StartsStopsAndRefusesASecondStart) {
  ProxyHarness harness(FakeUpstream::recordUntilClosed());
  ASSERT_TRUE(harness.start("u", "p"));
  const std::string port = std::to_string(harness.port);
  const std::string upstream = "127.0.0.1:" + std::to_string(harness.upstream.port());
  EXPECT_TRUE(harness.server->isRunning());
  EXPECT_TRUE(harness.log.contains("代理服务器开始监听端口 " + port));
  EXPECT_TRUE(
      harness.log.contains("代理服务器启动在端口 " + port + ", 目标代理服务器: " + upstream));

  EXPECT_FALSE(harness.server->start(ProxyConfig{1, "192.0.2.1", 2, "", ""}));
  EXPECT_TRUE(harness.log.contains("代理服务器已经在运行"));
  EXPECT_EQ(harness.server->config().proxyHost, "127.0.0.1");

  harness.server->stop();
  EXPECT_FALSE(harness.server->isRunning());
  const std::vector<std::string> lines = harness.log.lines();
  const std::vector<std::string> tail(lines.end() - 3, lines.end());
  EXPECT_EQ(tail, (std::vector<std::string>{"正在停止代理服务器...", "代理服务器线程已退出",
                                            "代理服务器已停止"}));
  harness.log.clear();
  harness.server->stop();
  EXPECT_EQ(harness.log.text(), "") << "stop on an idle server writes nothing";
  EXPECT_FALSE(connectLoopback(harness.port, 1000).valid() &&
               waitReadable(connectLoopback(harness.port, 1000).get(), 0) == 0)
      << "nobody accepts after stop";
}

TEST(ProxyServer, BusyPortMakesStartFailAndTheServerStaysUsable) {
  ProxyHarness harness(FakeUpstream::recordUntilClosed());
  LoopbackListener busy;
  ASSERT_TRUE(busy.valid());
  EXPECT_FALSE(harness.server->start(
      ProxyConfig{busy.port(), "127.0.0.1", harness.upstream.port(), "", ""}));
  EXPECT_FALSE(harness.server->isRunning());
  // 10048 on Linux; Windows reports a port taken by another socket as 10013.
  EXPECT_TRUE(harness.log.contains("绑定socket失败: 10048") ||
              harness.log.contains("绑定socket失败: 10013"));
  EXPECT_FALSE(harness.log.containsPrefix("代理服务器启动在端口 "));
  ASSERT_TRUE(harness.start());
  std::string prefix;
  Socket client = harness.openSession("", prefix);
  EXPECT_FALSE(prefix.empty());

  // Nobody binds beside the running listener. (On Windows a program of the same account could
  // with SO_REUSEADDR; other accounts cannot even with it, which only a Windows machine with two
  // accounts can show: see ListenerAddress below for the option the listener takes.)
  Socket second(openTcpSocket());
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(harness.port);
  EXPECT_NE(::bind(second.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
}

// The listener's claim on its port, as set before bind: on Windows the row "no socket options"
// of the documented binding table (other accounts kept out, a restart possible while accepted
// connections live on); elsewhere SO_REUSEADDR. Wine enforces neither row, so the options are
// read back instead.
TEST(ListenerAddress, TakesTheRowThatAllowsARestartWithOpenTunnels) {
  ensureSocketLayer();
  struct Row {
    const char* name;
    int option;
    int expected;
  };
#ifdef _WIN32
  const Row rows[] = {{"SO_EXCLUSIVEADDRUSE", SO_EXCLUSIVEADDRUSE, 0},
                      {"SO_REUSEADDR", SO_REUSEADDR, 0}};
#else
  const Row rows[] = {{"SO_REUSEADDR", SO_REUSEADDR, 1}};
#endif
  Socket listener(openTcpSocket());
  ASSERT_TRUE(prepareListenerAddress(listener.get()));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    int value = -1;
    socklen_t length = sizeof value;
    ASSERT_EQ(::getsockopt(listener.get(), SOL_SOCKET, row.option, reinterpret_cast<char*>(&value),
                           &length),
              0);
    EXPECT_EQ(value != 0 ? 1 : 0, row.expected);
  }
}

// Disconnecting and connecting again while a browser still holds a tunnel: the listener binds
// the same port again, serves new clients, and the old tunnel keeps carrying bytes.
TEST(ProxyServer, RestartsOnItsPortWhileATunnelOfTheLastRunIsOpen) {
  ProxyHarness harness(FakeUpstream::answerThenEcho(kAccept));
  ASSERT_TRUE(harness.start());
  std::string prefix;
  Socket old;
  ASSERT_TRUE(harness.openTunnel(old, prefix));
  harness.server->stop();
  ASSERT_TRUE(harness.server->start(
      ProxyConfig{harness.port, "127.0.0.1", harness.upstream.port(), "", ""}));
  EXPECT_FALSE(harness.log.containsPrefix("绑定socket失败: "));
  Socket fresh;
  ASSERT_TRUE(harness.openTunnel(fresh, prefix));
  for (Socket* client : {&old, &fresh}) {
    ASSERT_TRUE(sendText(*client, "both runs"));
    EXPECT_EQ(recvExactly(*client, 9), "both runs");
  }
}

TEST(ProxyServer, ClientNumbersKeepRisingAcrossRestarts) {
  ProxyHarness harness(FakeUpstream::recordUntilClosed());
  ASSERT_TRUE(harness.start());
  std::string first;
  harness.openSession("", first).reset();
  ASSERT_TRUE(harness.waitForSessionLine(first, "接收客户端请求失败或连接已断开"));
  harness.server->stop();
  ASSERT_TRUE(harness.start());
  std::string second;
  harness.openSession("", second).reset();
  EXPECT_EQ(numberOf(second), numberOf(first) + 1);
  // A client that closes at once: two lines, and no closing line.
  ASSERT_TRUE(harness.waitForSessionLine(second, "接收客户端请求失败或连接已断开"));
  EXPECT_FALSE(harness.log.contains(second + "客户端连接处理完成"));
}

// A head must end within the deadline (all reads together) and within the size limit; one that
// does not is refused: one line, the client closed, nothing sent upstream.
TEST(ProxySession, UnfinishedHeadsAreRefusedAtTheDeadlineOrTheLimit) {
  ProxyTimeouts timeouts = shortTimeouts();
  timeouts.clientHeadMs = 800;
  ProxyHarness harness(FakeUpstream::recordUntilClosed(), timeouts);
  ASSERT_TRUE(harness.start());
  std::string prefix;
  Socket client = harness.openSession("G", prefix);
  const auto began = steady_clock::now();
  // One byte every 100 ms would keep a per-read time-out waiting for ever.
  std::atomic<bool> stopTrickle{false};
  std::thread trickle([&] {
    for (char c : std::string("ET /slow HTTP/1.1\r\nHost: 192.0.2.1\r\nX: y")) {
      if (stopTrickle.load() || !sendText(client, std::string(1, c))) break;
      std::this_thread::sleep_for(milliseconds(100));
    }
  });
  ASSERT_TRUE(harness.waitForSessionLine(prefix, "请求头接收超时，可能不完整"));
  bool closed = false;
  recvUntilClosed(client, 5000, &closed);
  EXPECT_TRUE(closed);
  EXPECT_LT(steady_clock::now() - began, milliseconds(800 + 1500));
  stopTrickle.store(true);
  trickle.join();

  // Nothing at all within the deadline: the failure line.
  std::string silent;
  Socket idle = harness.openSession("", silent);
  EXPECT_TRUE(harness.waitForSessionLine(silent, "接收客户端请求失败或连接已断开", 5000));
  recvUntilClosed(idle, 5000, &closed);
  EXPECT_TRUE(closed);

  // More than the limit without the head's end.
  std::string big;
  Socket large = harness.openSession("GET /a HTTP/1.1\r\nX-Big: " + std::string(70000, 'x'), big);
  ASSERT_TRUE(harness.waitForSessionLine(big, "请求头过大，可能不完整"));
  recvUntilClosed(large, 5000, &closed);
  EXPECT_TRUE(closed);
  EXPECT_EQ(harness.log.count(big + "请求头过大，可能不完整"), 1);
  EXPECT_EQ(harness.upstream.connectionCount(), 0) << "nothing unfinished goes upstream";
}

// An upstream that cannot be reached: its name does not resolve, or nothing listens on its
// port. The lookup of the name is a fake that refuses it, so no query leaves the machine.
TEST(ProxySession, UnreachableUpstreamsAreLoggedAndTheClientClosed) {
  struct Row {
    std::string host;
    std::string failure;
  };
  const Row rows[] = {
      {"127.0.0.1", "连接到目标代理失败: 错误码=10061 (连接被拒绝)"},
      {"upstream.invalid", "解析目标代理地址失败: 11001"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.host);
    ProxyHarness harness(FakeUpstream::recordUntilClosed());
    std::mutex mutex;
    std::vector<std::string> lookups;
    harness.server->setResolver([&](const std::string& host, uint16_t port, sockaddr_in& address) {
      std::lock_guard<std::mutex> lock(mutex);
      lookups.push_back(host + ":" + std::to_string(port));
      return host == "upstream.invalid" ? wsa::kHostNotFound : resolveIpv4(host, port, address);
    });
    const uint16_t closedPort = freeLoopbackPort();
    harness.port = freeLoopbackPort();
    ASSERT_TRUE(harness.server->start(ProxyConfig{harness.port, row.host, closedPort, "", ""}));
    std::string prefix;
    Socket client = harness.openSession(connectHead("192.0.2.1:443"), prefix);
    const std::string upstream = row.host + ":" + std::to_string(closedPort);
    EXPECT_TRUE(harness.waitForSessionLine(prefix, "正在连接到目标代理: " + upstream));
    EXPECT_TRUE(harness.waitForSessionLine(prefix, row.failure));
    bool closed = false;
    EXPECT_EQ(recvUntilClosed(client, 5000, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(harness.waitForSessionLine(prefix, "客户端连接处理完成"));
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(lookups, std::vector<std::string>{upstream});
  }
}

// A wait that never reports a failed connect, as WSAPoll before Windows 10 version 2004: the
// failure is hidden and the other entries are waited for until the time-out.
int waitHidingFailedConnects(PollEntry* entries, size_t count, int timeoutMs) {
  const auto deadline = steady_clock::now() + milliseconds(timeoutMs);
  const int ready = pollSockets(entries, count, timeoutMs);
  if (ready <= 0) return ready;
  std::vector<size_t> shown;
  std::vector<PollEntry> others;
  for (size_t i = 0; i < count; ++i) {
    if ((entries[i].events & kPollOut) != 0 && (entries[i].revents & (kPollErr | kPollHup)) != 0) {
      entries[i].revents = 0;
    } else {
      shown.push_back(i);
      others.push_back(entries[i]);
    }
  }
  if (others.size() == count) return ready;
  const int left = static_cast<int>(std::max<int64_t>(
      0, std::chrono::duration_cast<milliseconds>(deadline - steady_clock::now()).count()));
  if (others.empty()) {
    std::this_thread::sleep_for(milliseconds(left));
    return 0;
  }
  const int more = pollSockets(others.data(), others.size(), left);
  if (more < 0) return more;
  for (size_t k = 0; k < shown.size(); ++k) entries[shown[k]].revents = others[k].revents;
  return more;
}

// A refused upstream is found within a second even when the wait never reports the failure:
// the session reads the socket's pending error after every short wait.
TEST(ProxySession, ARefusedConnectIsFoundWhenTheWaitNeverReportsIt) {
  ProxyTimeouts timeouts = shortTimeouts();
  timeouts.upstreamConnectMs = 21000;
  ProxyHarness harness(FakeUpstream::recordUntilClosed(), timeouts);
  const uint16_t closedPort = freeLoopbackPort();
  harness.port = freeLoopbackPort();
  ASSERT_TRUE(harness.server->start(ProxyConfig{harness.port, "127.0.0.1", closedPort, "", ""}));
  setConnectWaitForTesting(waitHidingFailedConnects);
  std::string prefix;
  Socket client = harness.openSession(connectHead(), prefix);
  const auto began = steady_clock::now();
  EXPECT_TRUE(
      harness.waitForSessionLine(prefix, "连接到目标代理失败: 错误码=10061 (连接被拒绝)", 5000));
  EXPECT_LT(steady_clock::now() - began, milliseconds(1000));
  setConnectWaitForTesting(nullptr);
}

// Each send of the hand-over to an upstream that has reset the connection fails with its
// line. The session is held at a known point: at its log line after connecting (before any
// send), or, for the early body, after the head went out, where it adds the head's bytes to
// the sent total under statsMutex, which the test holds. The upstream resets meanwhile, and the
// session goes on only once the system no longer lists its side of the connection: the reset
// has arrived there, so the next send fails on every platform instead of racing it.
TEST(ProxySession, SendsToAnUpstreamThatResetFailWithTheirLine) {
  const std::string body = "abc";
  const std::string post =
      "POST http://192.0.2.1/up HTTP/1.1\r\nHost: 192.0.2.1\r\nContent-Length: 3\r\n";
  const std::string forwardedPost =
      post +
      "Connection: Keep-Alive\r\nKeep-Alive: timeout=900, max=1000\r\n"
      "Proxy-Connection: Keep-Alive\r\n\r\n";
  struct Row {
    std::string request;
    std::string upstreamGets;  // what went out before the reset
    std::string failure;
  };
  const Row rows[] = {
      {connectHead(), "", "发送CONNECT请求到目标代理失败: 错误码=10054"},
      {"GET http://192.0.2.1/a HTTP/1.1\r\nHost: 192.0.2.1\r\n\r\n", "",
       "发送HTTP请求头到目标代理失败: 错误码=10054"},
      {post + "\r\n" + body, forwardedPost, "发送请求体到目标代理失败: 错误码=10054"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.failure);
    std::promise<void> resetNow;
    std::shared_future<void> resetSignal = resetNow.get_future().share();
    std::atomic<uint16_t> proxySide{0};
    ProxyHarness harness([&, resetSignal](FakeConnection& connection) {
      proxySide.store(connection.peerPort());
      connection.readExactly(row.upstreamGets.size());
      resetSignal.wait_for(std::chrono::seconds(5));
      connection.reset();
    });
    harness.log.holdWriterOf("成功连接到目标代理服务器");
    ASSERT_TRUE(harness.start());
    std::string prefix;
    Socket client = harness.openSession(row.request, prefix);
    ASSERT_TRUE(harness.log.waitUntilHeld());
    std::unique_lock<std::mutex> totals(harness.server->core()->statsMutex, std::defer_lock);
    if (!row.upstreamGets.empty()) {
      totals.lock();
      harness.log.release();
      ASSERT_TRUE(harness.upstream.waitForReceived(0, row.upstreamGets.size()));
    }
    ASSERT_TRUE(waitUntil([&] { return proxySide.load() != 0; }));
    const uint16_t upstreamPort = harness.upstream.port();
    ASSERT_TRUE(loopbackConnectionListed(proxySide.load(), upstreamPort));
    resetNow.set_value();
    ASSERT_TRUE(harness.upstream.waitForScriptEnd(0));
    ASSERT_TRUE(waitUntil([&] {
      return !loopbackConnectionListed(proxySide.load(), upstreamPort);
    })) << "the reset reached the proxy's socket";
    harness.log.release();
    if (totals.owns_lock()) totals.unlock();

    EXPECT_TRUE(harness.waitForSessionLine(prefix, row.failure));
    bool closed = false;
    EXPECT_EQ(recvUntilClosed(client, 5000, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_TRUE(harness.waitForSessionLine(prefix, "客户端连接处理完成"));
    EXPECT_EQ(harness.upstream.received(0), row.upstreamGets);
    EXPECT_EQ(harness.server->totalBytesSent(), static_cast<int64_t>(row.upstreamGets.size()));
  }
}

TEST(ProxyServer, AnIdleClientDoesNotStallOthers) {
  ProxyTimeouts timeouts = shortTimeouts();
  timeouts.clientHeadMs = 20000;
  ProxyHarness harness(FakeUpstream::answerThenClose(kAccept), timeouts);
  ASSERT_TRUE(harness.start());
  std::string idlePrefix;
  Socket idle = harness.openSession("", idlePrefix);
  for (int i = 0; i < 50; ++i) {
    Socket client = harness.connect();
    ASSERT_TRUE(sendText(client, connectHead("192.0.2.1:443")));
    ASSERT_EQ(recvExactly(client, 39, 5000), kReply) << "request " << i;
  }
  // Reaping passes ran meanwhile without waiting for the idle session; they count it.
  ASSERT_TRUE(harness.log.waitFor("当前活跃连接数: 1", 3000));
  idle.reset();
  EXPECT_TRUE(harness.log.waitFor("当前活跃连接数: 0", 3000));
}

// Beyond the limit on client connections (sessions and tunnels together) a new client is
// closed at once, with one line however many are closed within 5 s; below it serving resumes.
TEST(ProxyServer, ClientsBeyondTheConnectionLimitAreClosedAtOnce) {
  ProxyHarness harness(FakeUpstream::answerThenEcho(kAccept));
  ProxyLimits limits = noSpares();
  limits.maxClientConnections = 3;
  harness.server->setLimits(limits);
  ASSERT_TRUE(harness.start());
  std::string prefix;
  Socket tunnels[2];
  for (Socket& tunnel : tunnels) ASSERT_TRUE(harness.openTunnel(tunnel, prefix));
  std::string idlePrefix;
  Socket idle = harness.openSession("", idlePrefix);
  ASSERT_FALSE(idlePrefix.empty());

  for (int i = 0; i < 3; ++i) {
    const auto began = steady_clock::now();
    Socket refused = harness.connect();
    sendText(refused, connectHead());
    bool closed = false;
    EXPECT_EQ(recvUntilClosed(refused, 5000, &closed), "");
    EXPECT_TRUE(closed);
    EXPECT_LT(steady_clock::now() - began, milliseconds(1000));
  }
  EXPECT_EQ(harness.log.count("客户端连接数已达上限 3，新连接已关闭"), 1);
  EXPECT_EQ(harness.lastSessionPrefix(), idlePrefix) << "no session for a refused client";

  tunnels[0].reset();
  ASSERT_TRUE(waitUntil([&] { return harness.server->core()->clientCount() == 2; }));
  Socket next;
  ASSERT_TRUE(harness.openTunnel(next, prefix));
  ASSERT_TRUE(sendText(next, "served"));
  EXPECT_EQ(recvExactly(next, 6), "served");
}

// Clients from other hosts stop at the limit less the reserve, so that the network cannot take
// every place from this machine's own applications. (The tests reach loopback only, so the rule
// is shown on the count itself.)
TEST(ProxyServer, ClientsFromOtherHostsLeaveTheReserveToThisMachine) {
  struct Row {
    int open;
    bool loopback;
    bool admitted;
  };
  const Row rows[] = {{0, false, true}, {1, false, true}, {2, false, false},
                      {2, true, true},  {3, true, false}, {3, false, false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(std::to_string(row.open) + (row.loopback ? " loopback" : " other host"));
    ProxyCore core;
    for (int i = 0; i < row.open; ++i) ASSERT_TRUE(core.admitClient(3, 1, true));
    EXPECT_EQ(core.admitClient(3, 1, row.loopback), row.admitted);
    EXPECT_EQ(core.clientCount(), row.open + (row.admitted ? 1 : 0));
  }
}

TEST(ProxyServer, StatsCallbackReportsTheTotalsEverySecond) {
  ProxyHarness harness(FakeUpstream::answerThenEcho(kAccept));
  std::mutex mutex;
  std::vector<std::pair<int64_t, int64_t>> calls;
  harness.server->setStatsCallback([&](int64_t sent, int64_t received) {
    std::lock_guard<std::mutex> lock(mutex);
    calls.emplace_back(sent, received);
  });
  ASSERT_TRUE(harness.start());
  std::string prefix;
  Socket client;
  ASSERT_TRUE(harness.openTunnel(client, prefix));
  const auto deadline = steady_clock::now() + std::chrono::seconds(5);
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (calls.size() >= 2) break;
    }
    ASSERT_LT(steady_clock::now(), deadline);
    std::this_thread::sleep_for(milliseconds(20));
  }
  harness.server->stop();
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(calls.back(), std::make_pair(int64_t{144}, int64_t{sizeof kAccept - 1}));
}

TEST(ProxyServer, TunnelsKeepWorkingAfterStopAndAreCountedWhenTheyClose) {
  ProxyHarness harness(FakeUpstream::answerThenEcho(kAccept));
  ASSERT_TRUE(harness.start());
  std::string prefix;
  Socket client;
  ASSERT_TRUE(harness.openTunnel(client, prefix));
  harness.server->stop();
  ASSERT_TRUE(sendText(client, "after stop"));
  EXPECT_EQ(recvExactly(client, 10), "after stop");
  EXPECT_EQ(harness.server->activeTunnelCount(), 2);
  client.reset();
  ASSERT_TRUE(harness.waitForNoTunnels());
  EXPECT_EQ(harness.server->totalBytesSent(), 144 + 10);
  EXPECT_EQ(harness.server->totalBytesReceived(), static_cast<int64_t>(sizeof kAccept - 1) + 10);
}

TEST(ProxyServer, DestroyingTheServerLeavesLiveTunnelsSafe) {
  ProxyHarness harness(FakeUpstream::answerThenEcho(kAccept));
  ASSERT_TRUE(harness.start());
  std::vector<Socket> clients;
  for (int i = 0; i < 5; ++i) {
    std::string prefix;
    clients.push_back(harness.openSession(connectHead("192.0.2.1:443"), prefix));
    ASSERT_EQ(recvExactly(clients.back(), 39), kReply);
  }
  harness.server.reset();
  for (Socket& client : clients) {
    ASSERT_TRUE(sendText(client, "still here"));
    EXPECT_EQ(recvExactly(client, 10), "still here");
  }
  clients.clear();
  // The relays end on their own and release the shared state last.
  EXPECT_TRUE(harness.log.waitForPrefix("数据隧道已关闭: ", 5000));
  for (int i = 0; i < 5; ++i) EXPECT_TRUE(harness.upstream.waitForScriptEnd(i));
}

TEST(ProxyServer, RefusedThreadsCostOneClientAtMost) {
  ProxyHarness harness(FakeUpstream::answerThenEcho(kAccept));
  const uint16_t port = freeLoopbackPort();
  failNextThreadLaunch(ProxyThread::kListener);
  EXPECT_FALSE(
      harness.server->start(ProxyConfig{port, "127.0.0.1", harness.upstream.port(), "", ""}));
  EXPECT_TRUE(harness.log.containsPrefix("创建监听线程失败: "));
  failNextThreadLaunch(ProxyThread::kTicker);
  EXPECT_FALSE(
      harness.server->start(ProxyConfig{port, "127.0.0.1", harness.upstream.port(), "", ""}));
  EXPECT_TRUE(harness.log.containsPrefix("创建统计线程失败: "));
  EXPECT_FALSE(harness.server->isRunning());
  ASSERT_TRUE(harness.start());

  // With no parked worker, the next client needs a new thread; when the system refuses it,
  // that client is closed unserved and the next one is served.
  const auto limits = WorkerPool::instance().setParkingLimits({0, milliseconds(0)});
  failNextThreadLaunch(ProxyThread::kSession);
  Socket lost = harness.connect();
  ASSERT_TRUE(sendText(lost, connectHead("192.0.2.1:443")));
  bool closed = false;
  EXPECT_EQ(recvUntilClosed(lost, 5000, &closed), "");
  EXPECT_TRUE(closed);
  EXPECT_TRUE(harness.log.waitForPrefix("[会话-"));
  EXPECT_EQ(harness.upstream.connectionCount(), 0);
  Socket next = harness.connect();
  ASSERT_TRUE(sendText(next, connectHead("192.0.2.1:443")));
  EXPECT_EQ(recvExactly(next, 39), kReply);
  WorkerPool::instance().setParkingLimits(limits);
  int failureLines = 0;
  for (const std::string& line : harness.log.lines()) {
    failureLines += line.find("创建会话线程失败: ") != std::string::npos;
  }
  EXPECT_EQ(failureLines, 1);
}

}  // namespace
}  // namespace quillon::testing
