// "com.quillon.app/stats": the on-demand figures, the UI's additions, and the once-a-second
// "onStatsUpdate" push while the proxy runs.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "channel_harness.h"
#include "channel_test_util.h"
#include "log_capture.h"
#include "loopback.h"

namespace quillon::testing {
namespace {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;

EncodableValue figures(int32_t sent, int32_t received, int32_t active) {
  return map({{"bytesSent", sent}, {"bytesReceived", received}, {"activeConnections", active}});
}

class StatsChannelTest : public ::testing::Test {
 protected:
  EncodableValue getStats() {
    const Reply reply = harness.stats("getStats");
    EXPECT_EQ(reply.kind, Reply::kSuccess);
    return reply.value;
  }

  LogCapture log;
  ChannelHarness harness;
};

TEST_F(StatsChannelTest, UpdateStatsAddsInt32FiguresOnly) {
  EXPECT_EQ(getStats(), figures(0, 0, 0));
  EXPECT_EQ(harness.stats("updateStats", map({{"bytesSent", 100}, {"bytesReceived", 50}})).bytes,
            kSuccessTrue);
  EXPECT_TRUE(log.contains("收到统计数据通道调用: updateStats"));
  EXPECT_TRUE(log.contains("更新流量统计: 发送=100 接收=50"));
  EXPECT_EQ(getStats(), figures(100, 50, 0));

  // Wrongly typed or missing figures count as 0; negative ones are added as they are.
  EXPECT_EQ(
      harness.stats("updateStats", map({{"bytesSent", int64Value(1000)}, {"bytesReceived", -20}}))
          .bytes,
      kSuccessTrue);
  EXPECT_TRUE(log.contains("更新流量统计: 发送=0 接收=-20"));
  EXPECT_EQ(harness.stats("updateStats", map({{"bytesSent", "7"}, {"other", 9}})).bytes,
            kSuccessTrue);
  EXPECT_EQ(harness.stats("updateStats", map({{"bytesReceived", 1.5}})).bytes, kSuccessTrue);
  EXPECT_EQ(getStats(), figures(100, 30, 0));

  for (const EncodableValue& notAMap :
       {EncodableValue(), EncodableValue(EncodableList{100, 50}), EncodableValue(100)}) {
    const Reply reply = harness.stats("updateStats", notAMap);
    EXPECT_EQ(reply.replies, 1);
    EXPECT_EQ(reply.bytes, kMissingArguments);
  }
  EXPECT_EQ(getStats(), figures(100, 30, 0));
}

TEST_F(StatsChannelTest, ByteTotalsAreReportedAsTheirLow32Bits) {
  // 2147483647 + 1 = 2147483648 wraps to -2147483648.
  harness.stats("updateStats", map({{"bytesSent", 2147483647}}));
  harness.stats("updateStats", map({{"bytesSent", 1}}));
  // 2 * 2147483647 + 7 = 4294967301 is 5 in its low 32 bits.
  harness.stats("updateStats", map({{"bytesReceived", 2147483647}}));
  harness.stats("updateStats", map({{"bytesReceived", 2147483647}}));
  harness.stats("updateStats", map({{"bytesReceived", 7}}));
  EXPECT_EQ(harness.state().bytesSent(), 2147483648LL);
  EXPECT_EQ(harness.state().bytesReceived(), 4294967301LL);
  const Reply reply = harness.stats("getStats");
  EXPECT_EQ(reply.value, figures(-2147483647 - 1, 5, 0));
}

TEST_F(StatsChannelTest, GetStatsIgnoresArgumentsAndUnknownMethodsAreNotImplemented) {
  harness.stats("updateStats", map({{"bytesSent", 3}}));
  EXPECT_EQ(harness.stats("getStats", EncodableValue(EncodableList{1})).value, figures(3, 0, 0));
  for (const char* method : {"GetStats", "updatestats", "onStatsUpdate", "reset"}) {
    log.clear();
    const Reply reply = harness.stats(method);
    EXPECT_EQ(reply.kind, Reply::kNotImplemented) << method;
    EXPECT_TRUE(log.contains(std::string("收到统计数据通道调用: ") + method)) << method;
  }
  EXPECT_EQ(harness.state().bytesSent(), 3);
}

TEST_F(StatsChannelTest, RunningProxyFiguresReplaceTheUisAdditions) {
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  ASSERT_TRUE(startProxyAlone(harness, upstream.port()));
  harness.stats("updateStats", map({{"bytesSent", 100}, {"bytesReceived", 50}}));
  EXPECT_EQ(getStats(), figures(0, 0, 0));

  // After a stop the last figures stay.
  harness.vpn("stopProxyServer");
  harness.stats("updateStats", map({{"bytesSent", 9}}));
  EXPECT_EQ(getStats(), figures(9, 0, 0));
}

TEST_F(StatsChannelTest, PushesOncePerSecondWhileRunningAndNoneAfterStop) {
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  // What the ticker thread observes; shared with it, so an early return leaves nothing dangling.
  struct Observed {
    std::mutex mutex;
    int withoutLogLine = 0;
    std::vector<std::chrono::steady_clock::time_point> times;
  };
  auto observed = std::make_shared<Observed>();
  // Each push must follow its log line; the listener's own reaping line lacks ", 总发送: ".
  harness.onPush = [this, observed](const Push&) {
    const auto now = std::chrono::steady_clock::now();
    const bool logged = log.count("当前活跃连接数: 0, 总发送: 0, 总接收: 0") > 0;
    std::lock_guard<std::mutex> lock(observed->mutex);
    if (!logged) ++observed->withoutLogLine;
    observed->times.push_back(now);
  };
  const auto started = std::chrono::steady_clock::now();
  ASSERT_TRUE(startProxyAlone(harness, upstream.port()));
  constexpr size_t kTimedPushes = 5;
  std::vector<Push> pushes = harness.waitForPushes(kTimedPushes, 15000);
  ASSERT_GE(pushes.size(), kTimedPushes);
  {
    std::lock_guard<std::mutex> lock(observed->mutex);
    EXPECT_EQ(observed->withoutLogLine, 0);
    EXPECT_GE(observed->times[1] - started, std::chrono::milliseconds(1500));  // a full second
    // The rhythm, two-sided: each wait only ever adds the scheduler's lateness to the second,
    // so the mean over four spacings stays near 1 s even on a loaded machine under a sanitizer,
    // while a ticker twice as slow (2 s) or one that stops waiting falls outside.
    const auto mean = (observed->times[kTimedPushes - 1] - observed->times[0]) /
                      static_cast<int>(kTimedPushes - 1);
    EXPECT_GE(mean, std::chrono::milliseconds(600));
    EXPECT_LE(mean, std::chrono::milliseconds(1600));
  }
  for (const Push& push : pushes) {
    EXPECT_EQ(push.channel, kStatsChannelName);
    EXPECT_EQ(push.method, "onStatsUpdate");
    EXPECT_FALSE(push.expectsReply);
    EXPECT_EQ(push.arguments, figures(0, 0, 0));
  }
  // The UI's additions are overwritten by the next push.
  harness.stats("updateStats", map({{"bytesSent", 100}}));
  harness.clearPushes();
  ASSERT_EQ(harness.waitForPushes(1, 3000).size(), 1u);
  EXPECT_EQ(harness.state().bytesSent(), 0);

  EXPECT_EQ(harness.vpn("stopVpn").bytes, kSuccessTrue);
  harness.clearPushes();
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  EXPECT_TRUE(harness.pushes().empty());
}

TEST_F(StatsChannelTest, LiveTunnelCountsTwoConnections) {
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  ASSERT_EQ(harness
                .vpn("startVpn", map({{"proxyHost", "127.0.0.1"},
                                      {"proxyPort", static_cast<int32_t>(upstream.port())}}))
                .bytes,
            kSuccessTrue);
  EXPECT_EQ(harness.vpn("getActiveConnectionCount").value, EncodableValue(1));

  Socket client = connectLoopback(kLocalProxyPort);
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(sendText(client, "CONNECT example.org:443 HTTP/1.1\r\nHost: example.org\r\n\r\n"));
  ASSERT_NE(recvUntil(client, "\r\n\r\n").find(" 200 "), std::string::npos);
  ASSERT_TRUE(sendText(client, "ping"));
  ASSERT_EQ(recvExactly(client, 4), "ping");

  harness.clearPushes();
  bool sawTwo = false;
  for (int i = 0; i < 5 && !sawTwo; ++i) {
    const auto pushes = harness.waitForPushes(static_cast<size_t>(i + 1), 3000);
    sawTwo =
        !pushes.empty() && at(pushes.back().arguments, "activeConnections") == EncodableValue(2);
  }
  EXPECT_TRUE(sawTwo);
  EXPECT_TRUE(log.containsPrefix("当前活跃连接数: 2, 总发送: "));
  EXPECT_EQ(harness.vpn("getActiveConnectionCount").value, EncodableValue(2));
  EXPECT_EQ(at(harness.stats("getStats").value, "activeConnections"), EncodableValue(2));
  client.reset();
}

}  // namespace
}  // namespace quillon::testing
