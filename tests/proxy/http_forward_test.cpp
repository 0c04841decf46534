// The plain HTTP path against a recording fake upstream: the rewritten head byte for byte,
// the early body and its log lines, and the failure without a Host header.
#include <gtest/gtest.h>

#include "proxy/proxy_text.h"
#include "proxy_harness.h"

namespace quillon::testing {
namespace {

constexpr char kTail[] =
    "Connection: Keep-Alive\r\nKeep-Alive: timeout=900, max=1000\r\n"
    "Proxy-Connection: Keep-Alive\r\n\r\n";

TEST(HttpRewrite, RequestHeadsBecomeTheseBytesUpstream) {
  struct Row {
    std::string head;
    std::string expected;  // without the fixed tail; "" when the request is refused
  };
  const std::string host = "Host: 192.0.2.1\r\n";
  const Row rows[] = {
      {"GET http://192.0.2.1/a HTTP/1.1\r\n" + host + "\r\n",
       "GET http://192.0.2.1/a HTTP/1.1\r\n" + host},
      {"GET http://192.0.2.1:8080/a HTTP/1.1\r\n\r\n", "GET http://192.0.2.1:8080/a HTTP/1.1\r\n"},
      {"GET http://192.0.2.1:80/a HTTP/1.1\r\n\r\n", "GET http://192.0.2.1/a HTTP/1.1\r\n"},
      {"GET https://192.0.2.1/a HTTP/1.1\r\n\r\n", "GET http://192.0.2.1:443/a HTTP/1.1\r\n"},
      {"GET http://192.0.2.1 HTTP/1.1\r\n\r\n", "GET http://192.0.2.1/ HTTP/1.1\r\n"},
      {"GET http://192.0.2.1?x=1 HTTP/1.1\r\n\r\n", "GET http://192.0.2.1/?x=1 HTTP/1.1\r\n"},
      {"GET http://192.0.2.1:8080?x=1 HTTP/1.1\r\n\r\n",
       "GET http://192.0.2.1:8080/?x=1 HTTP/1.1\r\n"},
      {"GET http://192.0.2.1:abc/ HTTP/1.1\r\n\r\n", "GET http://192.0.2.1/ HTTP/1.1\r\n"},
      {"GET https://192.0.2.1:abc/ HTTP/1.1\r\n\r\n", "GET http://192.0.2.1/ HTTP/1.1\r\n"},
      {"GET ftp://192.0.2.1/f HTTP/1.0\r\n\r\n", "GET http://192.0.2.1/f HTTP/1.0\r\n"},
      // A query that holds "://" does not make an origin-form target absolute.
      {"GET /r?u=http://192.0.2.9/x HTTP/1.1\r\n" + host + "\r\n",
       "GET http://192.0.2.1/r?u=http://192.0.2.9/x HTTP/1.1\r\n" + host},
      {"GET /a HTTP/1.1\r\nHost: 192.0.2.1:8080\r\nAccept: */*\r\n\r\n",
       "GET http://192.0.2.1:8080/a HTTP/1.1\r\nHost: 192.0.2.1:8080\r\nAccept: */*\r\n"},
      {"GET /a HTTP/1.1\r\nHost: 192.0.2.1:x\r\n\r\n",
       "GET http://192.0.2.1/a HTTP/1.1\r\nHost: 192.0.2.1:x\r\n"},
      {"GET /a HTTP/1.1\r\nhost: 192.0.2.1\r\n\r\n",
       "GET http://192.0.2.1/a HTTP/1.1\r\nhost: 192.0.2.1\r\n"},
      {"GET /a HTTP/1.1\r\nHost:192.0.2.1\r\n\r\n",
       "GET http://192.0.2.1/a HTTP/1.1\r\nHost:192.0.2.1\r\n"},
      {"GET /a HTTP/1.1\r\nHOST:\t 192.0.2.1 \t\r\n\r\n",
       "GET http://192.0.2.1/a HTTP/1.1\r\nHOST:\t 192.0.2.1 \t\r\n"},
      {"GET /a HTTP/1.1\r\nHost:\r\nHost: 192.0.2.7\r\n\r\n",
       "GET http://192.0.2.7/a HTTP/1.1\r\nHost:\r\nHost: 192.0.2.7\r\n"},
      {"GET /a HTTP/1.1\r\nHost: \r\n\r\n", ""},
      {"GET /a HTTP/1.1\r\nAccept: */*\r\n\r\nHost: 192.0.2.1\r\n", ""},
      // The client's own proxy headers never go upstream, whatever their case.
      {"GET http://192.0.2.1/a HTTP/1.1\r\nProxy-Authorization: Basic eDp5\r\n"
       "proxy-connection: keep-alive\r\nPROXY-AUTHORIZATION: x\r\nAccept: */*\r\n\r\n",
       "GET http://192.0.2.1/a HTTP/1.1\r\nAccept: */*\r\n"},
      {"GET http://192.0.2.1/a HTTP/1.1\r\nConnection: close\r\n\r\n",
       "GET http://192.0.2.1/a HTTP/1.1\r\nConnection: close\r\n"},
      {"get http://192.0.2.1/a HTTP/1.1\r\n\r\n", "get http://192.0.2.1/a HTTP/1.1\r\n"},
  };
  ProxyHarness harness(FakeUpstream::recordUntilClosed());
  ASSERT_TRUE(harness.start());
  int index = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.head);
    std::string prefix;
    Socket client = harness.openSession(row.head, prefix);
    ASSERT_TRUE(harness.upstream.waitForConnections(index + 1));
    if (row.expected.empty()) {
      EXPECT_TRUE(harness.waitForSessionLine(prefix, "HTTP请求中未找到Host头"));
      bool closed = false;
      EXPECT_EQ(recvUntilClosed(client, 5000, &closed), "");
      EXPECT_TRUE(closed);
      EXPECT_TRUE(harness.upstream.waitForScriptEnd(index));
      EXPECT_EQ(harness.upstream.received(index), "");
    } else {
      ASSERT_TRUE(harness.upstream.waitForReceivedText(index, kTail));
      EXPECT_EQ(harness.upstream.received(index), row.expected + kTail);
      EXPECT_TRUE(harness.waitForSessionLine(prefix, "HTTP请求已处理，双向转发线程已启动"));
    }
    ++index;
  }
}

TEST(HttpRewrite, LfOnlyHeadIsRewrittenWithCrLfAndItsTailIsNotForwarded) {
  ProxyHarness harness(FakeUpstream::recordUntilClosed());
  ASSERT_TRUE(harness.start());
  std::string prefix;
  // No "\r\n\r\n" ever arrives, so the head is handed over when the client's time is up.
  Socket client = harness.openSession(
      "GET http://192.0.2.1/a HTTP/1.1\nHost: 192.0.2.1\nAccept: */*\n\nbody", prefix);
  ASSERT_TRUE(harness.upstream.waitForReceivedText(0, kTail));
  EXPECT_EQ(
      harness.upstream.received(0),
      std::string("GET http://192.0.2.1/a HTTP/1.1\r\nHost: 192.0.2.1\r\nAccept: */*\r\n") + kTail);
  EXPECT_FALSE(harness.log.containsPrefix(prefix + "已发送 "));
}

TEST(HttpRewrite, CredentialsAddOneAuthorizationLineAfterTheClientHeaders) {
  ProxyHarness harness(FakeUpstream::recordUntilClosed());
  ASSERT_TRUE(harness.start("bob", "pw"));
  std::string prefix;
  Socket client = harness.openSession(
      "GET /a HTTP/1.1\r\nHost: 192.0.2.1\r\nProxy-Authorization: Basic Zm9vOmJhcg==\r\n\r\n",
      prefix);
  ASSERT_TRUE(harness.upstream.waitForReceivedText(0, kTail));
  EXPECT_EQ(harness.upstream.received(0),
            "GET http://192.0.2.1/a HTTP/1.1\r\nHost: 192.0.2.1\r\nProxy-Authorization: Basic " +
                encodeBase64("bob:pw") + "\r\n" + kTail);
  EXPECT_TRUE(harness.log.contains(prefix + "已添加代理认证头 (Basic认证)"));
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
