// Spare upstream connections against a fake upstream that records the life of every
// connection: none before the first client, nothing sent on a spare before a client's request,
// the same session lines, closed when idle, old or stopped, a shorter age after the upstream
// closed idle ones, one silent resend when a taken spare dies unanswered (never after an
// answer), many clients at once, and no tight redial loop once the upstream is gone.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "proxy/upstream_spares.h"
#include "proxy_harness.h"

namespace quillon::testing {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr char kGet[] = "GET http://192.0.2.1/a HTTP/1.1\r\nHost: 192.0.2.1\r\n\r\n";
constexpr char kOrigin[] = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

// A fake upstream that keeps what it saw of each connection. It answers a CONNECT with
// `connectAnswer` and any other request with kOrigin, then echoes; it resets a connection when
// its request arrives, as `reset` says; with `closeIdleMs` it closes a connection on which no
// request arrived within that time, as upstreams do with idle connections.
class RecordingUpstream {
 public:
  enum class Reset { kNever, kIdleOnes, kAll };
  struct Behaviour {
    Reset reset = Reset::kNever;
    std::string connectAnswer = kAccept;
    int closeIdleMs = 0;
  };
  struct Seen {
    Clock::time_point accepted;
    Clock::time_point ended;  // when the request arrived, or the connection ended without one
    std::string request;      // the first request head; "" when none came
    bool closedByUpstream = false;
    bool done = false;
  };

  explicit RecordingUpstream(Behaviour behaviour) : behaviour_(std::move(behaviour)) {}

  FakeUpstream::Script script() {
    return [this](FakeConnection& connection) { serve(connection); };
  }
  std::vector<Seen> seen() {
    std::lock_guard<std::mutex> lock(mutex_);
    return seen_;
  }
  int requestsLike(const std::string& start) {
    int count = 0;
    for (const Seen& s : seen()) count += s.request.rfind(start, 0) == 0;
    return count;
  }
  // Connections that ended without a request because the proxy closed them.
  int closedUnused() {
    int count = 0;
    for (const Seen& s : seen()) count += s.done && s.request.empty() && !s.closedByUpstream;
    return count;
  }
  int unfinished() {
    int count = 0;
    for (const Seen& s : seen()) count += !s.done;
    return count;
  }

 private:
  void serve(FakeConnection& connection) {
    size_t index;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      index = seen_.size();
      seen_.push_back(Seen{Clock::now(), {}, "", false, false});
    }
    const int waitMs = behaviour_.closeIdleMs > 0 ? behaviour_.closeIdleMs : 20000;
    const Clock::time_point began = Clock::now();
    const std::string head = connection.readUntil("\r\n\r\n", waitMs);
    const Clock::time_point now = Clock::now();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      Seen& s = seen_[index];
      s.ended = now;
      s.request = head;
      s.closedByUpstream = head.empty() && now - began >= milliseconds(waitMs);
      s.done = head.empty();
    }
    if (head.empty()) return;
    const bool idle = now - began >= milliseconds(150);
    if (behaviour_.reset == Reset::kAll || (behaviour_.reset == Reset::kIdleOnes && idle)) {
      connection.reset();
    } else if (head.rfind("CONNECT", 0) == 0) {
      connection.send(behaviour_.connectAnswer);
      if (behaviour_.connectAnswer.find(" 200") != std::string::npos) echo(connection);
    } else {
      connection.send(kOrigin);
      echo(connection);
    }
    std::lock_guard<std::mutex> lock(mutex_);
    seen_[index].done = true;
  }
  static void echo(FakeConnection& connection) {
    for (;;) {
      const std::string chunk = connection.readExactly(1, 20000);
      if (chunk.empty() || !connection.send(chunk)) return;
    }
  }

  const Behaviour behaviour_;
  std::mutex mutex_;
  std::vector<Seen> seen_;  // guarded by mutex_, in accept order
};

ProxyLimits withSpares(int count = 4) {
  ProxyLimits limits;
  limits.maxSpares = count;
  return limits;
}

ProxyTimeouts spareTimeouts(int idleMs = 20000, int maxAgeMs = 20000) {
  ProxyTimeouts timeouts = shortTimeouts();
  timeouts.spareIdleMs = idleMs;
  timeouts.spareMaxAgeMs = maxAgeMs;
  // A reset must reach a slow (instrumented, emulated) proxy within the wait.
  timeouts.spareAnswerWaitMs = 1000;
  // Loopback handshakes are far below the production threshold: spares whatever they take.
  timeouts.spareMinHandshakeUs = 0;
  return timeouts;
}

// The proxy and the recording upstream; the upstream outlives the harness's server.
struct SpareHarness {
  explicit SpareHarness(RecordingUpstream::Behaviour behaviour = {},
                        const ProxyTimeouts& timeouts = spareTimeouts(), int spares = 4)
      : recorder(std::move(behaviour)), harness(recorder.script(), timeouts) {
    harness.server->setLimits(withSpares(spares));
  }
  // Opens a client, sends `head` and returns the client; `prefix` is its session's.
  Socket client(const std::string& head, std::string& prefix) {
    return harness.openSession(head, prefix);
  }
  // Starts the proxy and opens a tunnel for a first client, which calls for a spare; true once
  // that spare waits at the upstream.
  bool startWithASpare(Socket& client) {
    std::string prefix;
    if (!harness.start()) return false;
    client = this->client(connectHead(), prefix);
    return recvExactly(client, sizeof kReply - 1) == kReply && waitForIdleSpares(1);
  }
  // Waits until `count` spares wait idle at the upstream (connections without a request that
  // have not ended).
  bool waitForIdleSpares(int count, int timeoutMs = 5000) {
    return waitUntil(
        [&] {
          int idle = 0;
          for (const auto& s : recorder.seen()) idle += !s.done && s.request.empty();
          return idle >= count;
        },
        timeoutMs);
  }

  RecordingUpstream recorder;
  ProxyHarness harness;
};

// The lines of one session, in order, without its prefix.
std::vector<std::string> sessionLines(LogCapture& log, const std::string& prefix) {
  std::vector<std::string> lines;
  for (const std::string& line : log.lines()) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line.substr(prefix.size()));
  }
  return lines;
}

TEST(UpstreamSpares, AreDialledOnlyOnceClientsComeAndCarryNothingBeforeARequest) {
  SpareHarness spares;
  ASSERT_TRUE(spares.harness.start("alice", "s3cret"));
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(spares.harness.upstream.connectionCount(), 0) << "no spare before the first client";

  std::string first;
  Socket tunnel = spares.client(connectHead(), first);
  ASSERT_EQ(recvExactly(tunnel, sizeof kReply - 1), kReply);
  ASSERT_TRUE(spares.waitForIdleSpares(1));

  const Clock::time_point asked = Clock::now();
  std::string prefix;
  Socket plain = spares.client(kGet, prefix);
  EXPECT_EQ(recvExactly(plain, sizeof kOrigin - 1), kOrigin);
  // The request went out on a connection made before the client came, and it was the first
  // thing that connection carried: the rewritten request with its credentials.
  bool onSpare = false;
  for (const auto& s : spares.recorder.seen()) {
    if (s.request.rfind("GET http://192.0.2.1/a HTTP/1.1\r\n", 0) != 0) continue;
    onSpare = s.accepted < asked;
    EXPECT_NE(s.request.find("Proxy-Authorization: Basic "), std::string::npos);
  }
  EXPECT_TRUE(onSpare);
  for (const auto& s : spares.recorder.seen()) {
    EXPECT_TRUE(s.request.empty() || s.request.rfind("CONNECT ", 0) == 0 ||
                s.request.rfind("GET ", 0) == 0)
        << "nothing before a client's request: " << s.request;
  }
  const std::string upstream = "127.0.0.1:" + std::to_string(spares.harness.upstream.port());
  ASSERT_TRUE(spares.harness.waitForSessionLine(prefix, "HTTP请求已处理，双向转发线程已启动"));
  const std::vector<std::string> lines = sessionLines(spares.harness.log, prefix);
  const std::vector<std::string> expected = {
      "新客户端连接", "处理 GET 请求: http://192.0.2.1/a", "正在连接到目标代理: " + upstream,
      "成功连接到目标代理服务器", "已添加代理认证头 (Basic认证)"};
  ASSERT_GE(lines.size(), expected.size());
  EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5), expected);
  // Spares are not connections of clients.
  EXPECT_EQ(spares.harness.server->activeTunnelCount(), 4);
}

// Spares go when no client has come for spareIdleMs, when they reach spareMaxAgeMs (and are
// replaced while clients still come), and at stop(), which closes them at once; a new start
// towards another upstream leaves the old one alone.
TEST(UpstreamSpares, CloseWhenIdleWhenOldAndAtStop) {
  {
    SCOPED_TRACE("idle");
    SpareHarness spares({}, spareTimeouts(600, 20000));
    Socket client;
    ASSERT_TRUE(spares.startWithASpare(client));
    EXPECT_TRUE(waitUntil([&] { return spares.recorder.closedUnused() >= 1; }, 3000));
    EXPECT_TRUE(waitUntil([&] { return spares.recorder.unfinished() == 1; }, 3000))
        << "only the tunnel is left";
    const int count = spares.harness.upstream.connectionCount();
    std::this_thread::sleep_for(milliseconds(800));
    EXPECT_EQ(spares.harness.upstream.connectionCount(), count) << "none dialled while idle";
  }
  {
    SCOPED_TRACE("age");
    SpareHarness spares({}, spareTimeouts(20000, 400));
    Socket client;
    ASSERT_TRUE(spares.startWithASpare(client));
    ASSERT_TRUE(waitUntil([&] { return spares.recorder.closedUnused() >= 1; }, 3000));
    for (const auto& s : spares.recorder.seen()) {
      if (s.done && s.request.empty()) {
        EXPECT_GE(s.ended - s.accepted, milliseconds(350));
      }
    }
    EXPECT_TRUE(spares.waitForIdleSpares(1)) << "replaced while clients are recent";
  }
  {
    SCOPED_TRACE("stop");
    SpareHarness spares;
    ASSERT_TRUE(spares.harness.start());
    std::string prefix;
    // Four clients at once call for four spares.
    std::vector<Socket> clients;
    for (int i = 0; i < 4; ++i) clients.push_back(spares.client(connectHead(), prefix));
    ASSERT_TRUE(spares.waitForIdleSpares(4));
    const Clock::time_point stopping = Clock::now();
    spares.harness.server->stop();
    EXPECT_LT(Clock::now() - stopping, milliseconds(1000));
    EXPECT_TRUE(waitUntil([&] { return spares.recorder.closedUnused() >= 4; }, 500));

    RecordingUpstream other({});
    FakeUpstream second(other.script());
    const int before = spares.harness.upstream.connectionCount();
    ASSERT_TRUE(spares.harness.server->start(
        ProxyConfig{spares.harness.port, "127.0.0.1", second.port(), "", ""}));
    Socket next = spares.client(connectHead(), prefix);
    EXPECT_EQ(recvExactly(next, sizeof kReply - 1), kReply);
    EXPECT_EQ(spares.harness.upstream.connectionCount(), before) << "the old upstream is left";
    spares.harness.server->stop();
  }
}

TEST(UpstreamSpares, AreKeptShorterOnceTheUpstreamClosesIdleOnes) {
  RecordingUpstream::Behaviour closesAfterOneSecond;
  closesAfterOneSecond.closeIdleMs = 1000;
  SpareHarness spares(closesAfterOneSecond);
  Socket first;
  ASSERT_TRUE(spares.startWithASpare(first));
  ASSERT_TRUE(spares.harness.log.waitForPrefix("目标代理在空闲 ", 5000));
  // From then on the proxy closes its spares before the upstream would.
  const size_t learned = spares.recorder.seen().size();
  ASSERT_TRUE(waitUntil([&] { return spares.recorder.closedUnused() >= 2; }, 5000));
  const std::vector<RecordingUpstream::Seen> seen = spares.recorder.seen();
  for (size_t i = learned; i < seen.size(); ++i) {
    if (seen[i].done && seen[i].request.empty()) {
      EXPECT_FALSE(seen[i].closedByUpstream) << "connection " << i;
      EXPECT_LT(seen[i].ended - seen[i].accepted, milliseconds(1000));
    }
  }
  std::string prefix;
  Socket later = spares.client(connectHead(), prefix);
  EXPECT_EQ(recvExactly(later, sizeof kReply - 1), kReply);
  ASSERT_TRUE(sendText(later, "still"));
  EXPECT_EQ(recvExactly(later, 5), "still");
}

// A taken spare that the upstream resets when the request arrives: the request goes once more
// on a new connection and the client is served as if nothing happened. Never a second time,
// and never after an answer (a 407 is an answer).
TEST(UpstreamSpares, ADeadSpareIsReplacedOnceBeforeAnyAnswer) {
  struct Row {
    const char* name;
    std::string head;
    RecordingUpstream::Reset reset;
    std::string connectAnswer;
    std::string clientGets;  // "" when the client is closed unserved
    int attempts;            // connections that carried the request
    std::string failure;     // the session's failure line, or ""
  };
  const Row rows[] = {
      {"CONNECT", connectHead(), RecordingUpstream::Reset::kIdleOnes, kAccept, kReply, 2, ""},
      {"GET", kGet, RecordingUpstream::Reset::kIdleOnes, kAccept, kOrigin, 2, ""},
      {"twice", connectHead(), RecordingUpstream::Reset::kAll, kAccept, "", 2,
       "接收目标代理响应失败"},
      {"407", connectHead(), RecordingUpstream::Reset::kNever,
       "HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", "", 1,
       "目标代理拒绝了CONNECT请求，响应码不是200"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RecordingUpstream::Behaviour behaviour;
    behaviour.reset = row.reset;
    behaviour.connectAnswer = row.connectAnswer;
    SpareHarness spares(behaviour);
    ASSERT_TRUE(spares.harness.start());
    // A first client (answered, its request arriving at once on a new connection) calls for a
    // spare; the second takes it once it has waited long enough to count as idle upstream.
    std::string prefix;
    Socket first = spares.client(kGet, prefix);
    if (row.reset != RecordingUpstream::Reset::kAll) {
      EXPECT_EQ(recvExactly(first, sizeof kOrigin - 1), kOrigin);
    }
    ASSERT_TRUE(spares.waitForIdleSpares(1));
    std::this_thread::sleep_for(milliseconds(200));
    const std::string request = std::string(row.head).substr(0, 8);
    const int before = spares.recorder.requestsLike(request);
    Socket client = spares.client(row.head, prefix);
    if (row.clientGets.empty()) {
      bool closed = false;
      EXPECT_EQ(recvUntilClosed(client, 5000, &closed), "");
      EXPECT_TRUE(closed);
      EXPECT_TRUE(spares.harness.waitForSessionLine(prefix, row.failure));
    } else {
      EXPECT_EQ(recvExactly(client, row.clientGets.size()), row.clientGets);
      if (row.clientGets == kReply) {
        ASSERT_TRUE(sendText(client, "after"));
        EXPECT_EQ(recvExactly(client, 5), "after");
      }
    }
    EXPECT_TRUE(
        waitUntil([&] { return spares.recorder.requestsLike(request) - before == row.attempts; }));
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(spares.recorder.requestsLike(request) - before, row.attempts);
    // The session's lines are those of a session without spares: one connection made, and
    // no failure but the row's own.
    const std::vector<std::string> lines = sessionLines(spares.harness.log, prefix);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "成功连接到目标代理服务器"), 1);
    for (const std::string& line : lines) {
      if (line != row.failure) {
        EXPECT_EQ(line.find("失败"), std::string::npos) << line;
      }
    }
    if (!row.failure.empty()) {
      EXPECT_EQ(std::count(lines.begin(), lines.end(), row.failure), 1);
    }
  }
}

// Many short clients at once while the keeper dials and sessions take: every client is served,
// and after stop the upstream sees every connection, spare or not, ended.
TEST(UpstreamSpares, ManyClientsAtOnceAreAllServedAndNothingIsLeftOpen) {
  SpareHarness spares({}, spareTimeouts(), 16);
  ASSERT_TRUE(spares.harness.start());
  std::atomic<int> served{0};
  std::vector<std::thread> clients;
  for (int t = 0; t < 8; ++t) {
    clients.emplace_back([&] {
      for (int i = 0; i < 25; ++i) {
        Socket client = spares.harness.connect();
        if (!sendText(client, connectHead()) || recvExactly(client, sizeof kReply - 1) != kReply ||
            !sendText(client, "ping") || recvExactly(client, 4) != "ping") {
          continue;
        }
        ++served;
      }
    });
  }
  for (std::thread& client : clients) client.join();
  EXPECT_EQ(served.load(), 200);
  spares.harness.server->stop();
  EXPECT_TRUE(waitUntil([&] { return spares.recorder.unfinished() == 0; }, 10000))
      << spares.recorder.unfinished() << " upstream connections still open";
}

// A spare saves one handshake, so spares are kept only while the upstream's handshakes (the
// fastest of the last eight) take at least spareMinHandshakeUs: on a fast path the sessions
// dial alone, a slow handshake reported by a session starts the spares, and a fast dial of the
// keeper's own stops them again, closing what it holds.
TEST(UpstreamSpares, AreKeptOnlyWhileTheUpstreamHandshakeIsSlow) {
  // Far above a loopback handshake, even an emulated one under load.
  constexpr int kThresholdUs = 50000;
  constexpr auto kSlow = milliseconds(500);
  {
    SCOPED_TRACE("a fast path, through the proxy");
    ProxyTimeouts timeouts = spareTimeouts();
    timeouts.spareMinHandshakeUs = kThresholdUs;
    SpareHarness spares({}, timeouts);
    ASSERT_TRUE(spares.harness.start());
    std::vector<Socket> tunnels;
    for (int i = 0; i < 3; ++i) {
      std::string prefix;
      tunnels.push_back(spares.client(connectHead(), prefix));
      ASSERT_EQ(recvExactly(tunnels.back(), sizeof kReply - 1), kReply);
    }
    std::this_thread::sleep_for(milliseconds(300));
    EXPECT_EQ(spares.harness.upstream.connectionCount(), 3) << "the sessions' own, no spare";
    EXPECT_EQ(spares.harness.server->spareCounts().connected, 0);
    spares.harness.server->stop();
  }
  SCOPED_TRACE("handshakes reported to the spares");
  RecordingUpstream recorder({});
  FakeUpstream upstream(recorder.script());
  ProxyTimeouts timeouts = spareTimeouts();
  timeouts.spareMinHandshakeUs = kThresholdUs;
  UpstreamSpares spares(ProxyConfig{0, "127.0.0.1", upstream.port(), "", ""}, timeouts,
                        withSpares(1), resolveIpv4);
  ASSERT_TRUE(spares.start());
  spares.clientArrived();
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(upstream.connectionCount(), 0) << "nothing is known of the path yet";

  spares.handshakeMeasured(kSlow);
  ASSERT_TRUE(waitUntil([&] { return upstream.connectionCount() == 1; }))
      << "a slow handshake starts the spares";
  // The keeper's own dial, over loopback, was fast: its spare is closed unused.
  EXPECT_TRUE(waitUntil([&] { return recorder.closedUnused() == 1; }));
  EXPECT_FALSE(spares.take().socket.valid());
  // One slow handshake among the last eight fast or slow ones is not enough; eight are.
  for (int i = 0; i < 7; ++i) spares.handshakeMeasured(kSlow);
  std::this_thread::sleep_for(milliseconds(300));
  EXPECT_EQ(upstream.connectionCount(), 1);
  spares.handshakeMeasured(kSlow);
  EXPECT_TRUE(waitUntil([&] { return upstream.connectionCount() == 2; }));
  spares.stop(milliseconds(1000));
  EXPECT_TRUE(waitUntil([&] { return recorder.unfinished() == 0; }));
}

// Once the upstream is gone, sessions dial on demand with today's lines, and the spares are
// not dialled again and again: their attempts back off.
TEST(UpstreamSpares, AnUpstreamThatIsGoneIsNotRedialledInALoop) {
  LogCapture log;
  RecordingUpstream recorder({});
  auto upstream = std::make_unique<FakeUpstream>(recorder.script());
  const uint16_t upstreamPort = upstream->port();
  std::atomic<int> lookups{0};
  LocalProxyServer server;
  server.setTimeouts(spareTimeouts());
  server.setLimits(withSpares());
  server.setResolver([&](const std::string& host, uint16_t port, sockaddr_in& address) {
    ++lookups;
    return resolveIpv4(host, port, address);
  });
  const uint16_t port = freeLoopbackPort();
  ASSERT_TRUE(server.start(ProxyConfig{port, "127.0.0.1", upstreamPort, "", ""}));
  Socket first = connectLoopback(port);
  ASSERT_TRUE(sendText(first, connectHead()));
  ASSERT_EQ(recvExactly(first, sizeof kReply - 1), kReply);
  ASSERT_TRUE(waitUntil([&] { return upstream->connectionCount() >= 2; }));
  first.reset();
  upstream.reset();  // every connection closed, nothing listens on the port any more

  Socket client = connectLoopback(port);
  ASSERT_TRUE(sendText(client, connectHead()));
  bool closed = false;
  EXPECT_EQ(recvUntilClosed(client, 5000, &closed), "");
  EXPECT_TRUE(closed);
  bool refused = false;
  ASSERT_TRUE(waitUntil([&] {
    for (const std::string& line : log.lines()) {
      refused = refused ||
                line.find("连接到目标代理失败: 错误码=10061 (连接被拒绝)") != std::string::npos;
    }
    return refused;
  }));
  const int before = lookups.load();
  std::this_thread::sleep_for(milliseconds(2500));
  // One failed attempt, then waits of 1 s and 2 s: at most two more within 2.5 s.
  EXPECT_LE(lookups.load() - before, 2);
  server.stop();
}

}  // namespace
}  // namespace quillon::testing
