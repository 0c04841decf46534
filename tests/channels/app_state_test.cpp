// Life of the application state: teardown order and the end of the statistics push.
#include "channels/app_state.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "channel_harness.h"
#include "channel_test_util.h"
#include "log_capture.h"
#include "loopback.h"

namespace quillon::testing {
namespace {

using flutter::EncodableValue;

TEST(AppStateTeardown, ConnectedStateStopsProxyThenResetsPacThenDns) {
  LogCapture log;
  ChannelHarness harness;
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  ASSERT_EQ(harness
                .vpn("startVpn", map({{"proxyHost", "127.0.0.1"},
                                      {"proxyPort", static_cast<int32_t>(upstream.port())},
                                      {"dnsServer", "9.9.9.9"}}))
                .bytes,
            kSuccessTrue);
  log.clear();
  harness.destroyState();

  const auto lines = log.lines();
  const int proxyStopped = lineIndex(lines, "代理服务器已停止");
  const int pacReset = lineIndex(lines, "成功重置系统PAC设置");
  const int dnsReset = lineIndex(lines, "正在重置 ");
  EXPECT_GE(proxyStopped, 0);
  EXPECT_LT(proxyStopped, pacReset);
  EXPECT_LT(pacReset, dnsReset);
  ASSERT_EQ(harness.commands.commands.size(), 2u);
  EXPECT_TRUE(connectLoopback(kLocalProxyPort, 500).valid() == false);
}

TEST(AppStateTeardown, UntouchedStateCallsNoReset) {
  LogCapture log;
  ChannelHarness harness;
  harness.vpn("stopVpn");
  log.clear();
  harness.destroyState();
  EXPECT_TRUE(harness.options.applied.empty());
  EXPECT_TRUE(harness.commands.commands.empty());
  EXPECT_FALSE(log.contains("正在停止代理服务器..."));
  EXPECT_TRUE(log.lines().empty());
}

TEST(AppStateTeardown, OnlyWhatThisProcessChangedIsReset) {
  LogCapture log;
  ChannelHarness harness;
  harness.vpn("stopProxyServer");  // idle proxy, PAC pointed at the other file
  harness.destroyState();
  EXPECT_EQ(harness.options.applied.size(), 2u);  // set, then reset at teardown
  EXPECT_TRUE(harness.commands.commands.empty());
  EXPECT_FALSE(log.contains("正在停止代理服务器..."));
}

TEST(AppStatePushes, ClosedGateStopsPushesWhileTheTickerRuns) {
  LogCapture log;
  ChannelHarness harness;
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  ASSERT_TRUE(startProxyAlone(harness, upstream.port()));
  ASSERT_FALSE(harness.waitForPushes(1, 3000).empty());

  // The window closes the gate before it lets the engine go; the proxy and its ticker run on.
  harness.state().stopStatisticsPushes();
  harness.clearPushes();
  log.clear();
  ASSERT_TRUE(log.waitForPrefix("当前活跃连接数: 0, 总发送: ", 3000));
  log.clear();
  ASSERT_TRUE(log.waitForPrefix("当前活跃连接数: 0, 总发送: ", 3000));
  EXPECT_TRUE(harness.pushes().empty());
  EXPECT_TRUE(harness.state().proxyServer()->isRunning());

  // With the engine gone the ticker still runs, harmlessly.
  harness.destroyEngine();
  log.clear();
  EXPECT_TRUE(log.waitForPrefix("当前活跃连接数: 0, 总发送: ", 3000));
}

TEST(AppStatePushes, PushesAndPlatformCallsRunSideBySide) {
  // The ticker writes the counters while the platform thread reads and adds to them.
  LogCapture log;
  ChannelHarness harness;
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  ASSERT_TRUE(startProxyAlone(harness, upstream.port()));
  // The calls go on until two pushes went out beside them; the bound only ends a broken run.
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (harness.pushes().size() < 2 && std::chrono::steady_clock::now() < limit) {
    harness.stats("updateStats", map({{"bytesSent", 1}, {"bytesReceived", 1}}));
    EXPECT_EQ(harness.stats("getStats").kind, Reply::kSuccess);
    harness.vpn("getActiveConnectionCount");
  }
  EXPECT_GE(harness.pushes().size(), 2u);
}

}  // namespace
}  // namespace quillon::testing
