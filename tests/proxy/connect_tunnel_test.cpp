// The CONNECT path against scripted fake upstreams: the bytes sent upstream, how answers are
// judged, what the client receives, and the log line of every failure.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "proxy/proxy_text.h"
#include "proxy_harness.h"

namespace quillon::testing {
namespace {

constexpr char kTail[] =
    "Connection: Keep-Alive\r\nKeep-Alive: timeout=900, max=1000\r\n"
    "Proxy-Connection: Keep-Alive\r\n\r\n";

// Refuses every CONNECT after recording it.
FakeUpstream::Script refuseAll() {
  return FakeUpstream::answerThenClose("HTTP/1.1 403 Forbidden\r\n\r\n");
}

TEST(ConnectRequest, TargetFormsGiveTheseBytesUpstreamAndRefusalsNeverDialIt) {
  struct Row {
    std::string target;
    std::string requestLine;  // "" when the target is refused before anything is sent
    std::string failure;
  };
  const Row rows[] = {
      {"192.0.2.1:443", "192.0.2.1:443", ""},
      {"192.0.2.1:0443", "192.0.2.1:443", ""},
      {"192.0.2.1:443x", "192.0.2.1:443", ""},
      {"[::1]:443", "[::1]:443", ""},
      {"192.0.2.1", "", "无效的CONNECT请求格式"},
      {":443", "", "无效的CONNECT请求格式"},
      {"192.0.2.1:", "", "CONNECT请求中的端口无效"},
      {"192.0.2.1:port", "", "CONNECT请求中的端口无效"},
      {"192.0.2.1:0", "", "CONNECT请求中的端口无效"},
      {"192.0.2.1:-1", "", "CONNECT请求中的端口无效"},
      {"192.0.2.1:70000", "", "CONNECT请求中的端口无效"},
      {"192.0.2.1:99999999999", "", "CONNECT请求中的端口无效"},
  };
  ProxyHarness harness(refuseAll());
  ASSERT_TRUE(harness.start());
  int upstreamIndex = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(row.target);
    std::string prefix;
    Socket client = harness.openSession(connectHead(row.target), prefix);
    if (row.requestLine.empty()) {
      EXPECT_TRUE(harness.waitForSessionLine(prefix, row.failure));
    } else {
      ASSERT_TRUE(harness.upstream.waitForReceivedText(upstreamIndex, "\r\n\r\n"));
      const std::string expected =
          "CONNECT " + row.requestLine + " HTTP/1.1\r\nHost: " + row.requestLine + "\r\n" + kTail;
      EXPECT_EQ(harness.upstream.received(upstreamIndex), expected);
      EXPECT_TRUE(harness.waitForSessionLine(prefix, "目标代理拒绝了CONNECT请求，响应码不是200"));
      ++upstreamIndex;
    }
    bool closed = false;
    EXPECT_EQ(recvUntilClosed(client, 5000, &closed), "") << "no bytes to a refused client";
    EXPECT_TRUE(closed);
    EXPECT_TRUE(harness.waitForSessionLine(prefix, "客户端连接处理完成"));
  }
  EXPECT_EQ(harness.upstream.connectionCount(), upstreamIndex)
      << "a refused request never opens an upstream connection";
  EXPECT_EQ(harness.upstream.received(0).size(), 144u);
}

TEST(ConnectRequest, BasicCredentialsOnlyWhenBothAreSet) {
  struct Row {
    std::string user;
    std::string password;
    bool authorized;
  };
  const Row rows[] = {{"alice", "s3cret:x", true}, {"alice", "", false}, {"", "s3cret", false}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.user + "/" + row.password);
    ProxyHarness harness(refuseAll());
    ASSERT_TRUE(harness.start(row.user, row.password));
    std::string prefix;
    Socket client = harness.openSession(connectHead("192.0.2.1:443"), prefix);
    ASSERT_TRUE(harness.upstream.waitForReceivedText(0, "\r\n\r\n"));
    const std::string auth =
        row.authorized ? "Proxy-Authorization: Basic " + encodeBase64("alice:s3cret:x") + "\r\n"
                       : "";
    EXPECT_EQ(harness.upstream.received(0),
              "CONNECT 192.0.2.1:443 HTTP/1.1\r\nHost: 192.0.2.1:443\r\n" + auth + kTail);
    EXPECT_EQ(harness.log.contains(prefix + "已添加代理认证头 (Basic认证)"), row.authorized);
    const std::string config = "代理配置已设置 - 本地端口: " + std::to_string(harness.port) +
                               ", 目标代理: 127.0.0.1:" + std::to_string(harness.upstream.port()) +
                               ", 用户名: " + (row.user.empty() ? "无" : row.user) +
                               ", 密码: " + (row.password.empty() ? "无" : "已提供");
    EXPECT_TRUE(harness.log.contains(config));
    EXPECT_EQ(harness.log.text().find("s3cret"), std::string::npos) << "password never logged";
  }
}

TEST(ConnectAnswer, OnlyAFinalTwoHundredStatusOpensTheTunnel) {
  // The line of a refusal; "" for an answer that opens the tunnel.
  const std::string refused = "目标代理拒绝了CONNECT请求，响应码不是200";
  const std::string malformed = "目标代理的响应格式无效";
  struct Row {
    std::string answer;
    std::string failure;
  };
  const Row rows[] = {
      {"HTTP/1.1 200 Connection established\r\n\r\n", ""},
      {"HTTP/1.0 200 OK\r\n\r\n", ""},
      {"HTTP/1.1 200\r\n\r\n", ""},
      {"HTTP/1.1 200 Connection established\r\nVia: 1.1 upstream\r\n\r\n", ""},
      {"HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\n\r\n", ""},
      {"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n", refused},
      {"HTTP/1.1 407 Proxy Authentication Required\r\nContent-Length: 6\r\n\r\n200 OK", refused},
      {"HTTP/1.1 403 Forbidden\r\nX-Note: HTTP/1.1 200\r\n\r\n", refused},
      {"HTTP/1.1 403 Forbidden 200 OK\r\n\r\n", refused},
      {"http/1.1 200 connection established\r\n\r\n", malformed},
      {"200 OK\r\n\r\n", malformed},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.answer);
    ProxyHarness harness(FakeUpstream::answerThenEcho(row.answer));
    ASSERT_TRUE(harness.start());
    std::string prefix;
    Socket client = harness.openSession(connectHead("192.0.2.1:443"), prefix);
    if (row.failure.empty()) {
      EXPECT_EQ(recvExactly(client, 39), kReply);
      EXPECT_TRUE(harness.waitForSessionLine(prefix, "CONNECT请求成功，隧道已建立"));
      EXPECT_TRUE(harness.waitForSessionLine(
          prefix, "已发送 39 字节的'Connection Established'响应给客户端"));
      EXPECT_TRUE(harness.waitForSessionLine(prefix, "HTTPS隧道已建立，双向转发线程已启动"));
    } else {
      bool closed = false;
      EXPECT_EQ(recvUntilClosed(client, 5000, &closed), "");
      EXPECT_TRUE(closed);
      EXPECT_TRUE(harness.waitForSessionLine(prefix, row.failure));
    }
  }
}

// How a scripted upstream ends its answer.
enum class End { kStayOpen, kClose, kReset };

// An upstream that answers with the given pieces, pausing between them, then closes, resets,
// or stays silent until the proxy closes.
FakeUpstream::Script answerInPieces(std::vector<std::string> pieces, End end) {
  return [pieces, end](FakeConnection& connection) {
    connection.readUntil("\r\n\r\n");
    for (const std::string& piece : pieces) {
      connection.send(piece);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    if (end == End::kClose) {
      connection.close();
    } else if (end == End::kReset) {
      connection.reset();
    } else {
      connection.readUntilClosed(10000);
    }
  };
}

TEST(ConnectAnswer, HandshakeFailuresEachGiveTheirLine) {
  struct Row {
    std::string name;
    std::vector<std::string> pieces;
    End end;
    std::string line;
  };
  const Row rows[] = {
      {"closes after the status line",
       {"HTTP/1.1 200 OK\r\n"},
       End::kClose,
       "接收目标代理响应失败"},
      {"resets instead of answering", {}, End::kReset, "接收目标代理响应失败"},
      {"silent", {}, End::kStayOpen, "等待目标代理响应超时"},
      {"stalls inside the head", {"HTTP/1.1 200"}, End::kStayOpen, "等待目标代理响应超时"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ProxyHarness harness(answerInPieces(row.pieces, row.end));
    ASSERT_TRUE(harness.start());
    std::string prefix;
    Socket client = harness.openSession(connectHead("192.0.2.1:443"), prefix);
    EXPECT_TRUE(harness.waitForSessionLine(prefix, row.line));
    bool closed = false;
    EXPECT_EQ(recvUntilClosed(client, 5000, &closed), "");
    EXPECT_TRUE(closed);
    // Every byte read from the upstream during the handshake is counted.
    size_t answered = 0;
    for (const std::string& piece : row.pieces) answered += piece.size();
    EXPECT_EQ(harness.server->totalBytesReceived(), static_cast<int64_t>(answered));
    EXPECT_EQ(harness.server->totalBytesSent(), 144);
  }
}

TEST(ConnectAnswer, HeadInPiecesOpensAndAnOversizedHeadIsRefused) {
  const std::string big = "HTTP/1.1 200 OK\r\nX-Pad: " + std::string(17000, 'a');
  struct Row {
    std::string name;
    std::vector<std::string> pieces;
    bool opens;
  };
  const Row rows[] = {
      {"blank line split", {"HTTP/1.1 200 Connection established\r", "\n\r", "\n"}, true},
      {"no blank line within the limit", {big.substr(0, 9000), big.substr(9000)}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    ProxyHarness harness(answerInPieces(row.pieces, End::kStayOpen));
    ASSERT_TRUE(harness.start());
    std::string prefix;
    Socket client = harness.openSession(connectHead("192.0.2.1:443"), prefix);
    if (row.opens) {
      EXPECT_EQ(recvExactly(client, 39), kReply);
      client.reset();
      ASSERT_TRUE(harness.waitForNoTunnels());
    } else {
      bool closed = false;
      EXPECT_EQ(recvUntilClosed(client, 5000, &closed), "") << "nothing reaches the client";
      EXPECT_TRUE(closed);
      EXPECT_TRUE(harness.waitForSessionLine(prefix, "响应头过大，可能不完整"));
    }
    // Handshake reads are counted in full, however many reads the head took.
    size_t answered = 0;
    for (const std::string& piece : row.pieces) answered += piece.size();
    EXPECT_TRUE(waitUntil([&] {
      return harness.server->totalBytesReceived() == static_cast<int64_t>(answered);
    })) << harness.server->totalBytesReceived();
  }
}

TEST(ConnectTunnel, BytesAroundTheHeadsAreForwardedInOrderAndCounted) {
  const std::string answer = "HTTP/1.1 200 Connection established\r\n\r\n";
  ProxyHarness harness([&](FakeConnection& connection) {
    connection.readUntil("\r\n\r\n");
    // A server that speaks first: its greeting arrives with the answer head.
    connection.send(answer + "SERVER-FIRST");
    connection.readUntil("CLIENT-EARLY|LATER");
    connection.send("|REPLY");
    connection.readUntilClosed(10000);
  });
  ASSERT_TRUE(harness.start());
  std::string prefix;
  Socket client = harness.openSession(connectHead("192.0.2.1:443") + "CLIENT-EARLY", prefix);
  EXPECT_EQ(recvExactly(client, 39 + 12), std::string(kReply) + "SERVER-FIRST");
  ASSERT_TRUE(harness.upstream.waitForReceivedText(0, "CLIENT-EARLY"));
  ASSERT_TRUE(sendText(client, "|LATER"));
  EXPECT_EQ(recvExactly(client, 6), "|REPLY");
  EXPECT_EQ(harness.upstream.received(0).substr(144), "CLIENT-EARLY|LATER");
  EXPECT_EQ(harness.server->activeTunnelCount(), 2);

  client.reset();
  ASSERT_TRUE(harness.waitForSessionLine(prefix, "客户端->代理: 连接关闭"));
  ASSERT_TRUE(harness.waitForNoTunnels());
  EXPECT_TRUE(harness.log.containsPrefix("数据隧道已关闭: " + prefix + "tunnel-192.0.2.1:443-"));
  EXPECT_EQ(harness.server->totalBytesSent(), 144 + 12 + 6);
  EXPECT_EQ(harness.server->totalBytesReceived(), static_cast<int64_t>(answer.size()) + 12 + 6);
  EXPECT_TRUE(harness.upstream.waitForScriptEnd(0)) << "upstream saw its connection closed";
}

}  // namespace
}  // namespace quillon::testing
