// The plain HTTP path against a recording fake upstream: the first request's new head byte for
// byte, requests refused before any upstream connection, every later request of a kept-alive
// connection rewritten with the credentials, and the early body with its log lines.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "proxy/proxy_text.h"
#include "proxy_harness.h"

namespace quillon::testing {
namespace {

constexpr char kTail[] =
    "Connection: Keep-Alive\r\nKeep-Alive: timeout=900, max=1000\r\n"
    "Proxy-Connection: Keep-Alive\r\n\r\n";

TEST(HttpRewrite, FirstRequestsBecomeTheseBytesUpstreamAndRefusalsNeverDialIt) {
  struct Row {
    std::string head;
    std::string expected;  // without the fixed tail; "" when the request is refused
    std::string failure;   // the refusal's line
  };
  const std::string host = "Host: 192.0.2.1\r\n";
  const Row rows[] = {
      {"GET http://192.0.2.1:80/a HTTP/1.1\r\n" + host + "\r\n",
       "GET http://192.0.2.1/a HTTP/1.1\r\n" + host, ""},
      {"GET https://192.0.2.1/a HTTP/1.1\r\n\r\n", "GET http://192.0.2.1:443/a HTTP/1.1\r\n", ""},
      {"GET http://user:pw@192.0.2.1/x HTTP/1.1\r\n\r\n", "GET http://192.0.2.1/x HTTP/1.1\r\n",
       ""},
      {"GET http://[::1]:8080/x HTTP/1.1\r\n\r\n", "GET http://[::1]:8080/x HTTP/1.1\r\n", ""},
      {"GET /a HTTP/1.1\r\nHost: 192.0.2.1:8080\r\nProxy-Connection: keep-alive\r\n\r\n",
       "GET http://192.0.2.1:8080/a HTTP/1.1\r\nHost: 192.0.2.1:8080\r\n", ""},
      {"OPTIONS * HTTP/1.1\r\n" + host + "\r\n", "OPTIONS http://192.0.2.1 HTTP/1.1\r\n" + host,
       ""},
      {"GET /a HTTP/1.1\nHost: 192.0.2.1\n\n", "GET http://192.0.2.1/a HTTP/1.1\r\n" + host, ""},
      {"GET /a HTTP/1.1\r\nAccept: */*\r\n\r\n", "", "HTTP请求中未找到Host头"},
      {"GET @evil.test/x HTTP/1.1\r\nHost: origin.test\r\n\r\n", "", "无效的HTTP请求目标"},
      {"GET /x HTTP/1.1\r\nHost: origin.test\rX-Injected:1\r\n\r\n", "", "无效的HTTP请求头"},
      {"GET /x HTTP/1.1\r\nHost: a b\r\n\r\n", "", "HTTP请求中的Host头无效"},
      {"GET /x HTTP/1.1\r\n" + host + "Proxy-Authorization : x\r\n\r\n", "", "无效的HTTP请求头"},
      {"GET /x HTTP/1.1\r\n" + host + "X: y\r\n Proxy-Authorization: x\r\n\r\n", "",
       "无效的HTTP请求头"},
      {"POST /x HTTP/1.1\r\n" + host + "Content-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n",
       "", "HTTP请求同时带有Content-Length和Transfer-Encoding"},
      {"POST /x HTTP/1.1\r\n" + host + "Content-Length: 3\r\nContent-Length: 4\r\n\r\n", "",
       "HTTP请求中有多个不同的Content-Length"},
      {"POST /x HTTP/1.1\r\n" + host + "Content-Length: +3\r\n\r\n", "",
       "HTTP请求中的Content-Length无效"},
  };
  ProxyHarness harness(FakeUpstream::recordUntilClosed());
  ASSERT_TRUE(harness.start());
  int index = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.head);
    std::string prefix;
    Socket client = harness.openSession(row.head, prefix);
    if (row.expected.empty()) {
      EXPECT_TRUE(harness.waitForSessionLine(prefix, row.failure));
      bool closed = false;
      EXPECT_EQ(recvUntilClosed(client, 5000, &closed), "");
      EXPECT_TRUE(closed);
    } else {
      ASSERT_TRUE(harness.upstream.waitForReceivedText(index, kTail));
      EXPECT_EQ(harness.upstream.received(index), row.expected + kTail);
      EXPECT_TRUE(harness.waitForSessionLine(prefix, "HTTP请求已处理，双向转发线程已启动"));
      ++index;
    }
  }
  EXPECT_EQ(harness.upstream.connectionCount(), index)
      << "a refused request never opens an upstream connection";
}

// Every request of a kept-alive connection goes upstream rebuilt with the credentials, framed
// by its own head, however the client splits or joins them.
TEST(HttpForward, EveryRequestOnAKeptAliveConnectionIsRewrittenWithCredentials) {
  const std::string get = "GET /one HTTP/1.1\r\nHost: origin.test\r\n\r\n";
  const std::string post =
      "POST /two HTTP/1.1\r\nHost: origin.test\r\nContent-Length: 26\r\n\r\n"
      "GET /not-a-head HTTP/1.1\r\n";
  const std::string chunked =
      "POST /three HTTP/1.1\r\nHost: origin.test\r\nTransfer-Encoding: chunked\r\n\r\n"
      "5\r\nhello\r\n0\r\nX-Trailer: t\r\n\r\n";
  const std::string auth = "Proxy-Authorization: Basic " + encodeBase64("bob:pw") + "\r\n";
  const std::string expected =
      "GET http://origin.test/one HTTP/1.1\r\nHost: origin.test\r\n" + auth + kTail +
      "POST http://origin.test/two HTTP/1.1\r\nHost: origin.test\r\nContent-Length: 26\r\n" + auth +
      kTail + "GET /not-a-head HTTP/1.1\r\n" +
      "POST http://origin.test/three HTTP/1.1\r\nHost: origin.test\r\n"
      "Transfer-Encoding: chunked\r\n" +
      auth + kTail + "5\r\nhello\r\n0\r\nX-Trailer: t\r\n\r\n";
  const std::string late = "GET /four HTTP/1.1\r\nHost: origin.test\r\n\r\n";
  const std::string lateExpected =
      "GET http://origin.test/four HTTP/1.1\r\nHost: origin.test\r\n" + auth + kTail;
  const std::string answer = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";

  // The upstream answers the four requests once it has them all.
  ProxyHarness harness([&](FakeConnection& connection) {
    connection.readExactly(expected.size() + lateExpected.size());
    connection.send(answer + answer + answer + answer);
    connection.readUntilClosed(10000);
  });
  ASSERT_TRUE(harness.start("bob", "pw"));
  std::string prefix;
  // The first request alone, the other two pipelined in one write once the tunnel runs, then
  // a fourth one byte at a time.
  Socket client = harness.openSession(get, prefix);
  ASSERT_TRUE(harness.waitForSessionLine(prefix, "HTTP请求已处理，双向转发线程已启动"));
  ASSERT_TRUE(sendText(client, post + chunked));
  for (char c : late) ASSERT_TRUE(sendText(client, std::string(1, c)));
  ASSERT_TRUE(harness.upstream.waitForReceived(0, expected.size() + lateExpected.size()));
  EXPECT_EQ(harness.upstream.received(0), expected + lateExpected);
  for (const char* line : {"处理 GET 请求: /one", "处理 POST 请求: /two", "处理 POST 请求: /three",
                           "处理 GET 请求: /four"}) {
    EXPECT_TRUE(harness.waitForSessionLine(prefix, line)) << line;
  }
  EXPECT_EQ(harness.log.count(prefix + "已添加代理认证头 (Basic认证)"), 4);

  // A later head that cannot be understood ends the connection once the answers of the
  // requests before it are through; nothing of it goes upstream.
  ASSERT_TRUE(sendText(client, "GET @evil.test/x HTTP/1.1\r\nHost: origin.test\r\n\r\n"));
  EXPECT_TRUE(harness.waitForSessionLine(prefix, "无效的HTTP请求目标"));
  bool closed = false;
  EXPECT_EQ(recvUntilClosed(client, 5000, &closed), answer + answer + answer + answer);
  EXPECT_TRUE(closed);
  client.reset();
  ASSERT_TRUE(harness.waitForNoTunnels());
  EXPECT_EQ(harness.upstream.received(0), expected + lateExpected);
}

// A request that asks for an upgrade switches the connection to raw bytes only when the
// upstream answers it 101; the client's next bytes wait for that answer (the request's own body
// does not). Otherwise they are the next request, rebuilt with the proxy's credentials (the
// client's own dropped).
TEST(HttpForward, AnUpgradeSwitchesToRawBytesOnlyAfterA101) {
  const std::string upgrade =
      "GET /one HTTP/1.1\r\nHost: origin.test\r\nConnection: Upgrade, HTTP2-Settings\r\n"
      "Upgrade: h2c\r\nHTTP2-Settings: AAMAAABkAAQCAAAAAAIAAAAA\r\n\r\n";
  const std::string withBody =
      "POST /one HTTP/1.1\r\nHost: origin.test\r\nUpgrade: h2c\r\nContent-Length: 4\r\n\r\n";
  const std::string next =
      "GET /two HTTP/1.1\r\nHost: origin.test\r\nProxy-Authorization: Basic eDp5\r\n\r\n";
  const std::string auth = "Proxy-Authorization: Basic " + encodeBase64("bob:pw") + "\r\n";
  const std::string rewritten =
      "GET http://origin.test/two HTTP/1.1\r\nHost: origin.test\r\n" + auth + kTail;
  const std::string ok = "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok";
  const std::string switched =
      "HTTP/1.1 101 Switching Protocols\r\nConnection: Upgrade\r\nUpgrade: h2c\r\n\r\nraw";
  struct Row {
    std::string first;        // the client's first write
    std::string later;        // its second write, once the first has gone upstream
    std::string answerAfter;  // the upstream answers once this has arrived
    std::string answer;
    std::string nextUpstream;  // how `next` reaches the upstream
  };
  const Row rows[] = {
      {upgrade + next, "", "\r\n\r\n", ok, rewritten},
      {upgrade + next, "", "\r\n\r\n", switched, next},
      {withBody + "bo", "dy" + next, "body", ok, rewritten},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.first + " / " + row.answer);
    ProxyHarness harness([&](FakeConnection& connection) {
      connection.readUntil(row.answerAfter);
      connection.send(row.answer);
      connection.readUntilClosed(10000);
    });
    ASSERT_TRUE(harness.start("bob", "pw"));
    std::string prefix;
    Socket client = harness.openSession(row.first, prefix);
    ASSERT_TRUE(harness.waitForSessionLine(prefix, "HTTP请求已处理，双向转发线程已启动"));
    if (!row.later.empty()) {
      ASSERT_TRUE(sendText(client, row.later));
    }
    EXPECT_EQ(recvExactly(client, row.answer.size()), row.answer);
    ASSERT_TRUE(harness.upstream.waitForReceivedText(0, row.nextUpstream));
    const std::string received = harness.upstream.received(0);
    EXPECT_EQ(received.substr(received.size() - row.nextUpstream.size()), row.nextUpstream);
    EXPECT_EQ(received.find("eDp5"),
              row.nextUpstream == next ? received.size() - 8 : std::string::npos);
  }
}

// A pipeline with a head the proxy refuses in the middle: every request before it goes
// upstream and gets its answer, then the client sees the end of the connection; each request
// is logged once, and the body line counts body bytes only.
TEST(HttpForward, RequestsBeforeARefusedOneInTheSameReadAreServed) {
  std::string stream =
      "POST /0 HTTP/1.1\r\nHost: origin.test\r\nContent-Length: 10\r\n\r\n0123456789";
  std::string expected =
      "POST http://origin.test/0 HTTP/1.1\r\nHost: origin.test\r\nContent-Length: 10\r\n" +
      std::string(kTail) + "0123456789";
  for (int i = 1; i < 100; ++i) {
    const std::string target = "/" + std::to_string(i);
    if (i == 49) {
      stream += "GET @evil.test/x HTTP/1.1\r\nHost: origin.test\r\n\r\n";
      continue;
    }
    stream += "GET " + target + " HTTP/1.1\r\nHost: origin.test\r\n\r\n";
    if (i < 49) {
      expected += "GET http://origin.test" + target + " HTTP/1.1\r\nHost: origin.test\r\n" +
                  std::string(kTail);
    }
  }
  const std::string answer = "HTTP/1.1 204 No Content\r\n\r\n";
  std::string answers;
  for (int i = 0; i < 49; ++i) answers += answer;
  ProxyHarness harness([&](FakeConnection& connection) {
    connection.readExactly(expected.size());
    connection.send(answers);
    connection.readUntilClosed(10000);
  });
  ASSERT_TRUE(harness.start());
  std::string prefix;
  Socket client = harness.openSession(stream, prefix);
  bool closed = false;
  bool reset = false;
  EXPECT_EQ(recvUntilClosed(client, 5000, &closed, &reset), answers);
  EXPECT_TRUE(closed);
  EXPECT_FALSE(reset);  // an orderly end after the answers, which a reset could discard
  client.reset();
  ASSERT_TRUE(harness.waitForNoTunnels());
  EXPECT_EQ(harness.upstream.received(0), expected);
  EXPECT_EQ(harness.log.count(prefix + "处理 POST 请求: /0"), 1);
  for (int i = 1; i < 100; ++i) {
    EXPECT_EQ(harness.log.count(prefix + "处理 GET 请求: /" + std::to_string(i)), i < 49 ? 1 : 0)
        << i;
  }
  EXPECT_EQ(harness.log.count(prefix + "无效的HTTP请求目标"), 1);
  EXPECT_TRUE(harness.log.contains(prefix + "已发送 10 字节的请求体数据 (总计 10/10)"));
}

// A later head that does not end is refused with one failure line: when the client ends its
// stream in it, at once; when the head's deadline passes first, then. An idle kept-alive
// connection has no deadline; a head that has begun has.
TEST(HttpForward, ALaterHeadThatDoesNotEndGetsOneFailureLine) {
  struct Row {
    bool clientEnds;
    std::string line;
    std::string notLine;
  };
  const Row rows[] = {
      {true, "接收客户端请求失败或连接已断开", "请求头接收超时，可能不完整"},
      {false, "请求头接收超时，可能不完整", "接收客户端请求失败或连接已断开"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.line);
    ProxyTimeouts timeouts = shortTimeouts();
    timeouts.clientHeadMs = 600;
    ProxyHarness harness(FakeUpstream::answerThenEcho("HTTP/1.1 204 No Content\r\n\r\n"), timeouts);
    ASSERT_TRUE(harness.start());
    std::string prefix;
    Socket client = harness.openSession("GET /a HTTP/1.1\r\nHost: origin.test\r\n\r\n", prefix);
    EXPECT_EQ(recvUntil(client, "\r\n\r\n"), "HTTP/1.1 204 No Content\r\n\r\n");
    std::this_thread::sleep_for(std::chrono::milliseconds(900));
    ASSERT_TRUE(sendText(client, "GET /b HTTP/1.1\r\nHo"));
    if (row.clientEnds) shutdownSending(client.get());
    EXPECT_TRUE(harness.waitForSessionLine(prefix, row.line, row.clientEnds ? 300 : 5000));
    bool closed = false;
    recvUntilClosed(client, 5000, &closed);
    EXPECT_TRUE(closed);
    client.reset();
    ASSERT_TRUE(harness.waitForNoTunnels());
    EXPECT_EQ(harness.log.count(prefix + row.line), 1);
    EXPECT_EQ(harness.log.count(prefix + row.notLine), 0);
    EXPECT_EQ(harness.upstream.received(0).find("/b"), std::string::npos);
  }
}

// A client's target goes into the log and the tunnel ids cut to a bounded length.
TEST(HttpForward, LongTargetsAreCutInTheLog) {
  ProxyHarness harness(FakeUpstream::recordUntilClosed());
  ASSERT_TRUE(harness.start());
  const std::string target = "/" + std::string(15000, 'x');
  std::string prefix;
  Socket client =
      harness.openSession("GET " + target + " HTTP/1.1\r\nHost: origin.test\r\n\r\n", prefix);
  ASSERT_TRUE(harness.waitForSessionLine(prefix, "HTTP请求已处理，双向转发线程已启动"));
  EXPECT_TRUE(harness.upstream.waitForReceivedText(0, target)) << "the request itself is whole";
  size_t longest = 0;
  for (const std::string& line : harness.log.lines()) longest = std::max(longest, line.size());
  EXPECT_LT(longest, 400u);
  EXPECT_TRUE(harness.log.contains(prefix + "处理 GET 请求: " + target.substr(0, 256) + "..."));
}

TEST(HttpForward, EarlyBodyGoesOutAfterTheHeadAndTheRestThroughTheRelay) {
  ProxyHarness harness([](FakeConnection& connection) {
    connection.readUntil("0123456789-LATE");
    connection.send("HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok");
    connection.readUntilClosed(10000);
  });
  ASSERT_TRUE(harness.start());
  const std::string body(100, 'b');
  const std::string head =
      "POST http://192.0.2.1/up HTTP/1.1\r\nHost: 192.0.2.1\r\nContent-Length: 115\r\n\r\n";
  std::string prefix;
  Socket client = harness.openSession(head + body, prefix);
  ASSERT_TRUE(harness.waitForSessionLine(prefix, "已发送 100 字节的请求体数据 (总计 100/100)"));
  ASSERT_TRUE(sendText(client, "0123456789-LATE"));
  EXPECT_EQ(recvUntil(client, "ok"), "HTTP/1.1 201 Created\r\nContent-Length: 2\r\n\r\nok");
  const std::string forwardedHead =
      "POST http://192.0.2.1/up HTTP/1.1\r\nHost: 192.0.2.1\r\nContent-Length: 115\r\n" +
      std::string(kTail);
  EXPECT_EQ(harness.upstream.received(0), forwardedHead + body + "0123456789-LATE");
  EXPECT_TRUE(harness.log.containsPrefix("新的数据隧道注册: " + prefix +
                                         "tunnel-POST-http://192.0.2.1/up-"));

  client.reset();
  ASSERT_TRUE(harness.waitForNoTunnels());
  EXPECT_EQ(harness.server->totalBytesSent(),
            static_cast<int64_t>(forwardedHead.size() + body.size() + 15));
  EXPECT_EQ(harness.server->totalBytesReceived(), 45);
}

}  // namespace
}  // namespace quillon::testing
