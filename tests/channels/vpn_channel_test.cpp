// The methods of "com.quillon.app/vpn", driven through the engine stand-in's messenger.
#include <gtest/gtest.h>

#include <chrono>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "channel_harness.h"
#include "channel_test_util.h"
#include "log_capture.h"
#include "loopback.h"
#include "proxy/self_loop.h"

namespace quillon::testing {
namespace {

using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;

EncodableValue startArgs(uint16_t upstreamPort, const std::string& dnsServer = "",
                         const std::string& title = "Tokyo") {
  return map({{"proxyHost", "127.0.0.1"},
              {"proxyPort", static_cast<int32_t>(upstreamPort)},
              {"username", "alice"},
              {"password", "secret"},
              {"dnsServer", EncodableValue(dnsServer)},
              {"serverTitle", EncodableValue(title)}});
}

// Options "startVpn" applies: the route PAC URL, then the auto-proxy flag alone.
std::vector<ConnectionOption> expectedPacOptions(const std::string& url) {
  return {{kOptionAutoConfigUrl, url, 0}, {kOptionFlags, "", kProxyTypeAutoProxyUrl}};
}

// Whether a line starting with each prefix is in `lines`, each after the one before it.
::testing::AssertionResult inOrder(const std::vector<std::string>& lines,
                                   std::initializer_list<std::string> prefixes) {
  int previous = -1;
  for (const std::string& prefix : prefixes) {
    const int index = lineIndex(lines, prefix);
    if (index < 0) return ::testing::AssertionFailure() << "no line \"" << prefix << "\"";
    if (index <= previous) {
      return ::testing::AssertionFailure() << "\"" << prefix << "\" comes too early";
    }
    previous = index;
  }
  return ::testing::AssertionSuccess();
}

class VpnChannelTest : public ::testing::Test {
 protected:
  void expectDisconnectedServer() {
    Reply server = harness.vpn("getCurrentServer");
    ASSERT_EQ(server.kind, Reply::kSuccess);
    EXPECT_EQ(server.value, map({{"host", "未连接"}, {"port", 0}, {"title", "未连接"}}));
  }

  LogCapture log;  // first, so that the state's construction is captured too
  ChannelHarness harness;
};

TEST_F(VpnChannelTest, FreshStateReportsDisconnectedAndIdle) {
  ASSERT_EQ(log.lines().size(), 2u);
  EXPECT_EQ(log.lines()[0].front(), '[');
  EXPECT_NE(log.lines()[0].find("] FlutterWindow initialized"), std::string::npos);
  EXPECT_EQ(log.lines()[1], "Method Channels已设置");

  expectDisconnectedServer();
  EXPECT_EQ(harness.vpn("isVpnConnected").bytes, kSuccessFalse);
  EXPECT_TRUE(log.contains("检查VPN连接状态: 未连接"));
  EXPECT_EQ(harness.vpn("isProxyServerRunning").bytes, kSuccessFalse);
  EXPECT_EQ(harness.vpn("getActiveConnectionCount").value, EncodableValue(0));
  EXPECT_TRUE(log.contains("收到VPN通道调用: getActiveConnectionCount"));
}

TEST_F(VpnChannelTest, ArgumentsThatAreNotAMapAreRefusedWithoutSideEffects) {
  const EncodableValue notMaps[] = {EncodableValue(), EncodableValue(EncodableList{"a", 1}),
                                    EncodableValue("proxyHost"), EncodableValue(7)};
  for (const char* method :
       {"startVpn", "recordTcpConnection", "startProxyServer", "setSystemDNS"}) {
    for (const EncodableValue& arguments : notMaps) {
      SCOPED_TRACE(std::string(method) + " with alternative " + std::to_string(arguments.index()));
      const Reply reply = harness.vpn(method, arguments);
      EXPECT_EQ(reply.replies, 1);
      EXPECT_EQ(reply.bytes, kMissingArguments);
    }
  }
  EXPECT_FALSE(harness.state().proxyServer()->isRunning());
  EXPECT_TRUE(harness.options.applied.empty());
  EXPECT_TRUE(harness.commands.commands.empty());
  EXPECT_EQ(harness.vpn("getTcpConnections").value, EncodableValue(EncodableList{}));
}

TEST_F(VpnChannelTest, MethodsWithoutArgumentsIgnoreWhateverIsSent) {
  for (const char* method : {"isVpnConnected", "getCurrentServer", "getActiveConnectionCount",
                             "getTcpConnections", "isProxyServerRunning"}) {
    const Reply plain = harness.vpn(method);
    const Reply withList = harness.vpn(method, EncodableValue(EncodableList{1, 2}));
    EXPECT_EQ(plain.kind, Reply::kSuccess) << method;
    EXPECT_EQ(withList.replies, 1) << method;
    EXPECT_EQ(withList.bytes, plain.bytes) << method;
  }
}

TEST_F(VpnChannelTest, StartVpnTreatsWronglyTypedKeysAsAbsent) {
  struct Case {
    const char* name;
    EncodableValue arguments;
  };
  const Case cases[] = {
      {"port as int64", map({{"proxyHost", "127.0.0.1"}, {"proxyPort", int64Value(8080)}})},
      {"port as string", map({{"proxyHost", "127.0.0.1"}, {"proxyPort", "8080"}})},
      {"port as double", map({{"proxyHost", "127.0.0.1"}, {"proxyPort", 8080.0}})},
      {"host as int32", map({{"proxyHost", 127}, {"proxyPort", 8080}})},
      {"host missing", map({{"proxyPort", 8080}})},
      {"port zero", map({{"proxyHost", "127.0.0.1"}, {"proxyPort", 0}})},
      {"port negative", map({{"proxyHost", "127.0.0.1"}, {"proxyPort", -1}})},
      {"port 65536", map({{"proxyHost", "127.0.0.1"}, {"proxyPort", 65536}})},
      {"port 70000", map({{"proxyHost", "127.0.0.1"}, {"proxyPort", 70000}})},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    log.clear();
    const Reply reply = harness.vpn("startVpn", c.arguments);
    EXPECT_EQ(reply.bytes, kSuccessFalse);
    EXPECT_TRUE(log.contains("代理服务器配置无效"));
    EXPECT_FALSE(harness.state().proxyServer()->isRunning());
  }
  EXPECT_TRUE(log.contains("启动VPN连接到: 127.0.0.1:70000"));
  EXPECT_TRUE(harness.options.applied.empty());
  EXPECT_FALSE(harness.state().vpnConnected());
  expectDisconnectedServer();
}

// Hosts under which the proxy's own listener is reached: loopback, the any-address, a name
// for loopback, and an address of one of the machine's interfaces when it has one.
std::vector<std::string> ownListenerHosts() {
  std::vector<std::string> hosts = {"127.0.0.1", "127.9.8.7", "0.0.0.0", "localhost"};
  for (uint32_t address : localIpv4Addresses()) {
    if ((address >> 24) == 127) continue;
    hosts.push_back(std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) +
                    "." + std::to_string((address >> 8) & 255) + "." +
                    std::to_string(address & 255));
    break;
  }
  return hosts;
}

TEST_F(VpnChannelTest, AnUpstreamThatIsTheProxysOwnListenerIsRefusedBeforeListening) {
  for (const std::string& host : ownListenerHosts()) {
    SCOPED_TRACE(host);
    log.clear();
    EXPECT_EQ(harness.vpn("startVpn", map({{"proxyHost", host}, {"proxyPort", 20888}})).bytes,
              kSuccessFalse);
    EXPECT_TRUE(log.contains("目标代理是本地代理自己的监听地址，已拒绝: " + host + ":20888"));
    EXPECT_TRUE(log.contains("启动代理服务器失败"));
    EXPECT_EQ(harness
                  .vpn("startProxyServer",
                       map({{"proxyHost", host}, {"proxyPort", 20999}, {"proxyTargetPort", 20999}}))
                  .bytes,
              kSuccessFalse);
    EXPECT_TRUE(log.contains("目标代理是本地代理自己的监听地址，已拒绝: " + host + ":20999"));
    EXPECT_FALSE(log.containsPrefix("代理服务器开始监听端口 "));
    EXPECT_FALSE(harness.state().proxyServer()->isRunning());
  }
  EXPECT_TRUE(harness.options.applied.empty());
  EXPECT_FALSE(harness.state().vpnConnected());
}

TEST_F(VpnChannelTest, StartVpnConnectsProxyThenPacThenDns) {
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  ASSERT_EQ(harness.stats("updateStats", map({{"bytesSent", 70}})).kind, Reply::kSuccess);

  const Reply reply = harness.vpn("startVpn", startArgs(upstream.port(), "9.9.9.9", "Tokyo"));
  EXPECT_EQ(reply.bytes, kSuccessTrue);

  const auto lines = log.lines();
  const std::string port = std::to_string(upstream.port());
  const int announced = lineIndex(lines, "启动VPN连接到: 127.0.0.1:" + port);
  const int proxyUp = lineIndex(lines, "代理服务器启动成功在端口: 20888");
  const int pacLine = lineIndex(lines, std::string("正在设置PAC: ") + kRoutePacUrl);
  const int pacRule =
      lineIndex(lines, "请确认PAC文件包含将请求定向到本地代理 127.0.0.1:20888 的规则");
  const int pacDone = lineIndex(lines, "系统PAC设置成功");
  const int dnsDone = lineIndex(lines, "系统DNS设置成功: 9.9.9.9");
  EXPECT_GE(announced, 0);
  EXPECT_LT(announced, proxyUp);
  EXPECT_LT(proxyUp, pacLine);
  EXPECT_LT(pacLine, pacRule);
  EXPECT_LT(pacRule, pacDone);
  EXPECT_LT(pacDone, dnsDone);

  EXPECT_EQ(std::string(kRoutePacUrl).substr(0, 8), "https://");
  EXPECT_NE(std::string(kRoutePacUrl).find("/app/route.pac"), std::string::npos);
  ASSERT_EQ(harness.options.applied.size(), 1u);
  EXPECT_EQ(harness.options.applied[0], expectedPacOptions(kRoutePacUrl));
  ASSERT_EQ(harness.commands.commands.size(), 1u);
  EXPECT_NE(commandText(harness.commands.commands[0]).find("9.9.9.9"), std::string::npos);
  EXPECT_EQ(harness.waits, std::vector<std::chrono::milliseconds>{std::chrono::milliseconds(500)});

  EXPECT_TRUE(harness.state().network().pacApplied());
  EXPECT_TRUE(harness.state().network().dnsChanged());
  EXPECT_EQ(harness.vpn("isVpnConnected").bytes, kSuccessTrue);
  EXPECT_TRUE(log.contains("检查VPN连接状态: 已连接"));
  EXPECT_EQ(harness.vpn("isProxyServerRunning").bytes, kSuccessTrue);
  EXPECT_EQ(harness.vpn("getCurrentServer").value,
            map({{"host", "127.0.0.1"}, {"port", upstream.port()}, {"title", "Tokyo"}}));
  EXPECT_EQ(harness.vpn("getActiveConnectionCount").value, EncodableValue(1));
  EXPECT_EQ(harness.state().bytesSent(), 0);  // what updateStats added before is gone

  // The proxy really listens on 20888 and talks to the chosen upstream with the credentials.
  Socket client = connectLoopback(kLocalProxyPort);
  ASSERT_TRUE(client.valid());
  ASSERT_TRUE(sendText(client, "CONNECT example.org:443 HTTP/1.1\r\nHost: example.org\r\n\r\n"));
  EXPECT_NE(recvUntil(client, "\r\n\r\n").find(" 200 "), std::string::npos);
  // The session may have taken a spare connection: whichever carried the request.
  const int carrier = upstream.waitForAnyReceivedText("CONNECT example.org:443");
  ASSERT_GE(carrier, 0);
  ASSERT_TRUE(upstream.waitForReceivedText(carrier, "\r\n\r\n"));
  EXPECT_NE(upstream.received(carrier).find("Proxy-Authorization: Basic YWxpY2U6c2VjcmV0"),
            std::string::npos);
}

TEST_F(VpnChannelTest, StartVpnWithoutDnsServerNeverTouchesDnsAndNamesUnnamedServer) {
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  EXPECT_EQ(harness.vpn("startVpn", startArgs(upstream.port(), "", "")).bytes, kSuccessTrue);
  EXPECT_TRUE(harness.commands.commands.empty());
  EXPECT_FALSE(harness.state().network().dnsChanged());
  EXPECT_EQ(at(harness.vpn("getCurrentServer").value, "title"), EncodableValue("未命名服务器"));

  // A title of the wrong type counts as absent, too.
  harness.vpn("stopVpn");
  auto args = std::get<EncodableMap>(startArgs(upstream.port()));
  args[EncodableValue("serverTitle")] = EncodableValue(42);
  EXPECT_EQ(harness.vpn("startVpn", EncodableValue(args)).bytes, kSuccessTrue);
  EXPECT_EQ(at(harness.vpn("getCurrentServer").value, "title"), EncodableValue("未命名服务器"));
}

TEST_F(VpnChannelTest, PacFailureStopsProxyAndLeavesServerAsItWas) {
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  harness.options.failApplies = true;
  EXPECT_EQ(harness.vpn("startVpn", startArgs(upstream.port(), "9.9.9.9")).bytes, kSuccessFalse);
  EXPECT_TRUE(log.contains("设置系统PAC失败"));
  EXPECT_TRUE(log.contains("代理服务器已停止"));
  EXPECT_FALSE(harness.state().proxyServer()->isRunning());
  EXPECT_FALSE(harness.state().network().pacApplied());
  EXPECT_TRUE(harness.commands.commands.empty());
  EXPECT_FALSE(harness.state().vpnConnected());
  EXPECT_TRUE(harness.waits.empty());
  expectDisconnectedServer();
}

TEST_F(VpnChannelTest, DnsFailureResetsPacStopsProxyAndKeepsMarkerForStop) {
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  harness.commands.failCommands = true;
  EXPECT_EQ(harness.vpn("startVpn", startArgs(upstream.port(), "9.9.9.9")).bytes, kSuccessFalse);

  EXPECT_TRUE(inOrder(log.lines(), {"设置系统DNS失败", "成功重置系统PAC设置", "代理服务器已停止"}));
  ASSERT_EQ(harness.options.applied.size(), 2u);
  EXPECT_EQ(harness.options.settings, ProxySettings{});  // back to what it was
  EXPECT_FALSE(harness.state().network().pacApplied());
  EXPECT_FALSE(harness.state().proxyServer()->isRunning());
  EXPECT_FALSE(harness.state().vpnConnected());
  // The adapters were read, so a later stop still puts them back on DHCP.
  EXPECT_TRUE(harness.state().network().dnsChanged());
  harness.commands.failCommands = false;
  EXPECT_EQ(harness.vpn("stopVpn").bytes, kSuccessTrue);
  ASSERT_EQ(harness.commands.commands.size(), 2u);
  EXPECT_FALSE(harness.state().network().dnsChanged());
  EXPECT_EQ(harness.options.applied.size(), 2u);  // PAC was already reset: not again
}

TEST_F(VpnChannelTest, MalformedDnsServerFailsTheDnsStepAndRollsBack) {
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  for (const char* server : {"9.9.9", "9.9.9.9 & del x", "example.org", "300.1.1.1"}) {
    SCOPED_TRACE(server);
    log.clear();
    EXPECT_EQ(harness.vpn("startVpn", startArgs(upstream.port(), server)).bytes, kSuccessFalse);
    EXPECT_TRUE(log.contains("设置系统DNS失败"));
    EXPECT_FALSE(harness.state().network().pacApplied());
    EXPECT_FALSE(harness.state().proxyServer()->isRunning());
  }
  EXPECT_TRUE(harness.commands.commands.empty());
  EXPECT_FALSE(harness.state().network().dnsChanged());
}

TEST_F(VpnChannelTest, StartVpnWhileProxyRunsIsRefusedAndChangesNothing) {
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  EXPECT_TRUE(startProxyAlone(harness, upstream.port()));
  EXPECT_EQ(harness.vpn("startVpn", startArgs(upstream.port(), "9.9.9.9")).bytes, kSuccessFalse);
  EXPECT_TRUE(log.contains("代理服务器已经在运行"));
  EXPECT_TRUE(log.contains("启动代理服务器失败"));
  EXPECT_TRUE(harness.state().proxyServer()->isRunning());
  EXPECT_TRUE(harness.options.applied.empty());
  EXPECT_TRUE(harness.commands.commands.empty());
  EXPECT_FALSE(harness.state().vpnConnected());
}

TEST_F(VpnChannelTest, StartVpnOnBusyPortFailsBeforePacAndDns) {
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  Socket holder = holdPort(kLocalProxyPort);
  ASSERT_TRUE(holder.valid()) << "port 20888 is in use by another program";
  EXPECT_EQ(harness.vpn("startVpn", startArgs(upstream.port(), "9.9.9.9")).bytes, kSuccessFalse);
  EXPECT_TRUE(log.contains("启动代理服务器失败"));
  EXPECT_FALSE(harness.state().proxyServer()->isRunning());
  EXPECT_TRUE(harness.options.applied.empty());
  EXPECT_TRUE(harness.commands.commands.empty());
  EXPECT_FALSE(harness.state().vpnConnected());
}

TEST_F(VpnChannelTest, StopVpnFromEveryState) {
  // Fresh: no reset at all, counters left alone.
  harness.stats("updateStats", map({{"bytesSent", 5}, {"bytesReceived", 6}}));
  EXPECT_EQ(harness.vpn("stopVpn").bytes, kSuccessTrue);
  EXPECT_EQ(harness.vpn("stopVpn", EncodableValue(EncodableList{})).bytes, kSuccessTrue);
  EXPECT_EQ(log.count("停止VPN连接"), 2);
  EXPECT_TRUE(harness.options.applied.empty());
  EXPECT_TRUE(harness.commands.commands.empty());
  EXPECT_EQ(harness.state().bytesSent(), 5);
  EXPECT_EQ(harness.state().bytesReceived(), 6);
  EXPECT_EQ(harness.waits, (std::vector<std::chrono::milliseconds>{
                               std::chrono::milliseconds(300), std::chrono::milliseconds(300)}));

  // Connected with DNS: DNS reset, then PAC reset, then the proxy stops.
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  ASSERT_EQ(harness.vpn("startVpn", startArgs(upstream.port(), "9.9.9.9")).bytes, kSuccessTrue);
  log.clear();
  EXPECT_EQ(harness.vpn("stopVpn").bytes, kSuccessTrue);
  EXPECT_TRUE(inOrder(log.lines(),
                      {"停止VPN连接", "正在重置 ", "成功重置系统PAC设置", "代理服务器已停止"}));
  EXPECT_EQ(harness.options.settings, ProxySettings{});
  EXPECT_FALSE(harness.state().network().pacApplied());
  EXPECT_FALSE(harness.state().network().dnsChanged());
  EXPECT_FALSE(harness.state().proxyServer()->isRunning());
  EXPECT_EQ(harness.vpn("getActiveConnectionCount").value, EncodableValue(0));
  expectDisconnectedServer();

  // Twice in a row: the second finds nothing to undo.
  const size_t applies = harness.options.applied.size();
  const size_t commands = harness.commands.commands.size();
  EXPECT_EQ(harness.vpn("stopVpn").bytes, kSuccessTrue);
  EXPECT_EQ(harness.options.applied.size(), applies);
  EXPECT_EQ(harness.commands.commands.size(), commands);

  // Proxy started alone: stopVpn stops it; failing resets still reply true.
  ASSERT_TRUE(startProxyAlone(harness, upstream.port()));
  harness.vpn("setSystemDNS", map({{"dnsServer", "1.1.1.1"}}));
  harness.commands.failCommands = true;
  EXPECT_EQ(harness.vpn("stopVpn").bytes, kSuccessTrue);
  EXPECT_FALSE(harness.state().proxyServer()->isRunning());
  EXPECT_TRUE(log.contains("重置适配器 Ethernet 的DNS设置失败"));
}

TEST_F(VpnChannelTest, StartProxyServerSingleStep) {
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  const struct {
    const char* name;
    EncodableValue arguments;
  } refused[] = {
      {"no target port", map({{"proxyHost", "127.0.0.1"}})},
      {"target port int64", map({{"proxyHost", "127.0.0.1"}, {"proxyTargetPort", int64Value(80)}})},
      {"no host", map({{"proxyTargetPort", upstream.port()}})},
      {"target port 70000", map({{"proxyHost", "127.0.0.1"}, {"proxyTargetPort", 70000}})},
      {"local port 70000",
       map({{"proxyHost", "127.0.0.1"}, {"proxyTargetPort", 80}, {"proxyPort", 70000}})},
      {"local port 0",
       map({{"proxyHost", "127.0.0.1"}, {"proxyTargetPort", 80}, {"proxyPort", 0}})},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    log.clear();
    EXPECT_EQ(harness.vpn("startProxyServer", c.arguments).bytes, kSuccessFalse);
    EXPECT_TRUE(log.contains("启动代理服务器失败: 无效的目标主机或端口"));
    EXPECT_FALSE(harness.state().proxyServer()->isRunning());
  }

  // Without "proxyPort" (or with it as an int64) the proxy listens on 20888.
  EXPECT_EQ(harness
                .vpn("startProxyServer", map({{"proxyHost", "127.0.0.1"},
                                              {"proxyTargetPort", upstream.port()},
                                              {"proxyPort", int64Value(1234)}}))
                .bytes,
            kSuccessTrue);
  EXPECT_EQ(harness.state().proxyServer()->config().localPort, kLocalProxyPort);
  EXPECT_TRUE(connectLoopback(kLocalProxyPort).valid());
  EXPECT_EQ(harness.vpn("isProxyServerRunning").bytes, kSuccessTrue);
  // A second start reports the proxy's refusal.
  EXPECT_EQ(harness
                .vpn("startProxyServer",
                     map({{"proxyHost", "127.0.0.1"}, {"proxyTargetPort", upstream.port()}}))
                .bytes,
            kSuccessFalse);
  // The single step touches neither the system settings nor the connection state.
  EXPECT_TRUE(harness.options.applied.empty());
  EXPECT_FALSE(harness.state().vpnConnected());
  expectDisconnectedServer();
}

TEST_F(VpnChannelTest, StopProxyServerRepliesThenAppliesTheOtherPacFile) {
  bool pacSetBeforeReply = true;
  harness.onReply = [&] { pacSetBeforeReply = !harness.options.applied.empty(); };
  EXPECT_EQ(harness.vpn("stopProxyServer").bytes, kSuccessTrue);
  harness.onReply = nullptr;
  EXPECT_FALSE(pacSetBeforeReply);
  ASSERT_EQ(harness.options.applied.size(), 1u);
  EXPECT_EQ(harness.options.applied[0], expectedPacOptions(kMacosPacUrl));
  EXPECT_NE(std::string(kMacosPacUrl).find("/app/macos.pac"), std::string::npos);
  EXPECT_TRUE(log.contains(std::string("成功设置系统PAC为: ") + kMacosPacUrl));
  EXPECT_TRUE(harness.state().network().pacApplied());

  // A failing PAC change is only logged; the reply stays true.
  harness.options.failApplies = true;
  EXPECT_EQ(harness.vpn("stopProxyServer").bytes, kSuccessTrue);
  EXPECT_TRUE(log.containsPrefix("设置PAC URL失败: "));
}

TEST_F(VpnChannelTest, ResetSystemPacRepliesItsResultAndLeavesTheFlag) {
  harness.vpn("stopProxyServer");  // sets pacApplied through the other PAC file
  ASSERT_TRUE(harness.state().network().pacApplied());
  EXPECT_EQ(harness.vpn("resetSystemPAC").bytes, kSuccessTrue);
  EXPECT_EQ(harness.options.settings, ProxySettings{});
  EXPECT_TRUE(harness.state().network().pacApplied());
  harness.options.failApplies = true;
  EXPECT_EQ(harness.vpn("resetSystemPAC").bytes, kSuccessFalse);
  EXPECT_TRUE(harness.state().network().pacApplied());
}

TEST_F(VpnChannelTest, SetAndResetSystemDns) {
  const auto invalidServer = errorEnvelope("INVALID_ARGUMENTS", "无效的DNS服务器地址");
  for (const EncodableValue& server :
       {EncodableValue(""), EncodableValue(8), EncodableValue("8.8.8"),
        EncodableValue("8.8.8.8\" & calc"), EncodableValue("dns.example")}) {
    EXPECT_EQ(harness.vpn("setSystemDNS", map({{"dnsServer", server}})).bytes, invalidServer);
  }
  EXPECT_EQ(harness.vpn("setSystemDNS", map({})).bytes, invalidServer);
  EXPECT_TRUE(harness.commands.commands.empty());
  EXPECT_FALSE(harness.state().network().dnsChanged());

  // Nothing changed yet: the reset is a no-op that succeeds.
  EXPECT_EQ(harness.vpn("resetSystemDNS").bytes, kSuccessTrue);
  EXPECT_TRUE(harness.commands.commands.empty());

  EXPECT_EQ(harness.vpn("setSystemDNS", map({{"dnsServer", "1.1.1.1"}})).bytes, kSuccessTrue);
  ASSERT_EQ(harness.commands.commands.size(), 1u);
  EXPECT_NE(commandText(harness.commands.commands[0]).find("1.1.1.1"), std::string::npos);
  EXPECT_TRUE(harness.state().network().dnsChanged());

  harness.commands.failCommands = true;
  EXPECT_EQ(harness.vpn("setSystemDNS", map({{"dnsServer", "1.0.0.1"}})).bytes, kSuccessFalse);
  EXPECT_EQ(harness.vpn("resetSystemDNS").bytes, kSuccessFalse);
  EXPECT_FALSE(harness.state().network().dnsChanged());
  EXPECT_EQ(harness.commands.commands.size(), 3u);
  EXPECT_FALSE(harness.state().vpnConnected());
}

TEST_F(VpnChannelTest, ResetSystemDnsRepliesFalseWhenOneOfTwoAdaptersStaysChanged) {
  harness.system.adapters.setAdapters(
      {adapter("Ethernet", "Intel(R) Ethernet Connection", kIfTypeEthernet),
       adapter("Wi-Fi", "Intel(R) Wi-Fi 6 AX201", kIfTypeWireless)});
  ASSERT_EQ(harness.vpn("setSystemDNS", map({{"dnsServer", "1.1.1.1"}})).bytes, kSuccessTrue);
  harness.commands.failCommandsWith = "Wi-Fi";
  EXPECT_EQ(harness.vpn("resetSystemDNS").bytes, kSuccessFalse);
  EXPECT_TRUE(log.contains("成功重置适配器 Ethernet 的DNS设置"));
  EXPECT_TRUE(log.contains("重置适配器 Wi-Fi 的DNS设置失败"));
}

TEST_F(VpnChannelTest, StartVpnWarnsWhenTheDesktopBelongsToAnotherAccount) {
  const Account admin{"S-1-5-21-7-500", "PC\\Admin"};
  const Account alice{"S-1-5-21-7-1001", "PC\\Alice"};
  struct Row {
    const char* name;
    std::optional<Account> desktop;
    bool warns;
  };
  const Row rows[] = {{"another account", alice, true},
                      {"the same account", admin, false},
                      {"no desktop to tell", std::nullopt, false}};
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    harness.system.accounts.process = admin;
    harness.system.accounts.desktop = row.desktop;
    log.clear();
    ASSERT_EQ(harness.vpn("startVpn", startArgs(upstream.port())).bytes, kSuccessTrue);
    EXPECT_EQ(log.count("警告: 本程序以账户 PC\\Admin 运行，而桌面属于账户 PC\\Alice：系统代理只对 "
                        "PC\\Admin 生效，PC\\Alice 的浏览器不会经过本程序的代理"),
              row.warns ? 1 : 0);
    EXPECT_EQ(log.containsPrefix("警告: "), row.warns);
    ASSERT_EQ(harness.vpn("stopVpn").bytes, kSuccessTrue);
  }
}

TEST_F(VpnChannelTest, UnknownAndWrongCaseMethodsAreNotImplemented) {
  for (const char* method : {"StartVpn", "startvpn", "STOPVPN", "connect", ""}) {
    log.clear();
    const Reply reply = harness.vpn(method);
    EXPECT_EQ(reply.kind, Reply::kNotImplemented) << method;
    EXPECT_EQ(reply.replies, 1) << method;
    EXPECT_TRUE(log.contains(std::string("收到VPN通道调用: ") + method)) << method;
  }
  EXPECT_FALSE(harness.state().proxyServer()->isRunning());
}

TEST_F(VpnChannelTest, TcpConnectionRecordsThroughTheChannel) {
  EXPECT_EQ(harness.vpn("getTcpConnections").value, EncodableValue(EncodableList{}));

  const auto invalidTarget = errorEnvelope("INVALID_ARGUMENTS", "无效的目标IP地址或端口");
  EXPECT_EQ(harness.vpn("recordTcpConnection", map({{"destPort", 443}})).bytes, invalidTarget);
  EXPECT_EQ(harness.vpn("recordTcpConnection", map({{"destIp", ""}, {"destPort", 443}})).bytes,
            invalidTarget);
  EXPECT_EQ(harness.vpn("recordTcpConnection", map({{"destIp", "1.2.3.4"}, {"destPort", 0}})).bytes,
            invalidTarget);
  EXPECT_EQ(
      harness
          .vpn("recordTcpConnection", map({{"destIp", "1.2.3.4"}, {"destPort", int64Value(443)}}))
          .bytes,
      invalidTarget);

  // Defaults for the source; wrongly typed source values count as absent.
  EXPECT_EQ(
      harness.vpn("recordTcpConnection", map({{"destIp", "1.2.3.4"}, {"destPort", 443}})).bytes,
      kSuccessFalse);
  EXPECT_EQ(harness
                .vpn("recordTcpConnection", map({{"sourceIp", 10},
                                                 {"sourcePort", 5.0},
                                                 {"destIp", "not an address"},
                                                 {"destPort", 8080},
                                                 {"unknownKey", true}}))
                .bytes,
            kSuccessFalse);
  EXPECT_EQ(harness
                .vpn("recordTcpConnection", map({{"sourceIp", "192.168.1.5"},
                                                 {"sourcePort", 50123},
                                                 {"destIp", "5.6.7.8"},
                                                 {"destPort", 22}}))
                .bytes,
            kSuccessFalse);
  EXPECT_TRUE(log.contains("记录TCP连接: 127.0.0.1:0 -> 1.2.3.4:443 (路由: 否)"));
  EXPECT_TRUE(log.contains("记录TCP连接: 192.168.1.5:50123 -> 5.6.7.8:22 (路由: 否)"));

  const Reply listed = harness.vpn("getTcpConnections");
  const auto& list = std::get<EncodableList>(listed.value);
  ASSERT_EQ(list.size(), 3u);
  const auto& first = std::get<EncodableMap>(list[0]);
  EXPECT_EQ(first.size(), 6u);
  EXPECT_EQ(at(list[0], "sourceIp"), EncodableValue("127.0.0.1"));
  EXPECT_EQ(at(list[0], "sourcePort"), EncodableValue(0));
  EXPECT_EQ(at(list[0], "destIp"), EncodableValue("1.2.3.4"));
  EXPECT_EQ(at(list[0], "destPort"), EncodableValue(443));
  EXPECT_EQ(at(list[0], "isRouted"), EncodableValue(false));
  EXPECT_EQ(std::get<std::string>(at(list[0], "timestamp")).size(), 19u);
  EXPECT_EQ(at(list[1], "destIp"), EncodableValue("not an address"));
  EXPECT_EQ(at(list[2], "sourcePort"), EncodableValue(50123));

  // Connecting and disconnecting leave the records alone; clearing empties them.
  EXPECT_EQ(harness.vpn("stopVpn").bytes, kSuccessTrue);
  EXPECT_EQ(std::get<EncodableList>(harness.vpn("getTcpConnections").value).size(), 3u);
  EXPECT_EQ(harness.vpn("clearTcpConnections").bytes, kSuccessTrue);
  EXPECT_EQ(harness.vpn("getTcpConnections").value, EncodableValue(EncodableList{}));
}

TEST(VpnChannelWaits, StartAndStopReallyWait) {
  LogCapture log;
  ChannelHarness harness(/*realWaits=*/true);
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  auto begin = std::chrono::steady_clock::now();
  ASSERT_EQ(harness.vpn("startVpn", startArgs(upstream.port())).bytes, kSuccessTrue);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(500));
  begin = std::chrono::steady_clock::now();
  ASSERT_EQ(harness.vpn("stopVpn").bytes, kSuccessTrue);
  EXPECT_GE(std::chrono::steady_clock::now() - begin, std::chrono::milliseconds(300));
}

}  // namespace
}  // namespace quillon::testing
