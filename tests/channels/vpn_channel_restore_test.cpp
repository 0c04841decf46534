// Connecting and disconnecting through "com.quillon.app/vpn" put back the user's own proxy and
// DNS settings, with the journal written before each change and removed at the end.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "channel_harness.h"
#include "channel_test_util.h"
#include "log_capture.h"
#include "loopback.h"
#include "system/network_journal.h"

namespace quillon::testing {
namespace {

using ::testing::ElementsAre;

const ProxySettings kUserProxy{kProxyTypeDirect | kProxyTypeAutoProxyUrl,
                               "http://wpad.corp.example/proxy.pac", "", ""};
const std::vector<std::string> kUserDns = {"10.0.0.53", "8.8.4.4"};

flutter::EncodableValue connectArguments(uint16_t upstreamPort) {
  return map({{"proxyHost", "127.0.0.1"},
              {"proxyPort", static_cast<int32_t>(upstreamPort)},
              {"dnsServer", "9.9.9.9"}});
}

TEST(VpnChannelRestore, DisconnectPutsBackTheUsersOwnSettings) {
  LogCapture log;
  ChannelHarness harness;
  harness.options.settings = kUserProxy;
  harness.system.adapterDns.servers["Ethernet"] = kUserDns;
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  ASSERT_EQ(harness.vpn("startVpn", connectArguments(upstream.port())).bytes, kSuccessTrue);

  EXPECT_THAT(harness.system.timeline,
              ElementsAre("journal write", "apply", "journal write",
                          "run " + commandText(setDnsCommand("Ethernet", "9.9.9.9"))));
  const std::optional<RecordedSettings> journaled = harness.journal.decoded();
  ASSERT_TRUE(journaled);
  EXPECT_EQ(journaled->proxy, kUserProxy);
  EXPECT_EQ(journaled->adapters,
            (std::vector<AdapterDnsSettings>{{"Ethernet", kIfTypeEthernet, kUserDns}}));

  harness.commands.commands.clear();
  ASSERT_EQ(harness.vpn("stopVpn").bytes, kSuccessTrue);
  EXPECT_EQ(harness.options.settings, kUserProxy);
  EXPECT_EQ(harness.commands.commands, restoreDnsCommands("Ethernet", kUserDns));
  EXPECT_TRUE(log.contains("适配器 Ethernet 的DNS已恢复为: 10.0.0.53, 8.8.4.4"));
  EXPECT_TRUE(log.contains("系统代理已恢复为: 自动配置脚本 http://wpad.corp.example/proxy.pac"));
  EXPECT_FALSE(harness.journal.contents);
  EXPECT_EQ(harness.system.timeline.back(), "journal remove");
}

TEST(VpnChannelRestore, WhatAnEarlierRunCouldNotPutBackIsKeptForTheNextDisconnect) {
  RecordedSettings leftover;
  leftover.adapters = {{"Ethernet", kIfTypeEthernet, kUserDns}};
  ChannelHarness harness(/*realWaits=*/false, encodeJournal(leftover));
  EXPECT_EQ(harness.state().network().record().outstanding(), leftover);

  // The adapter still has this program's server: it must not be recorded as the user's.
  harness.system.adapterDns.servers["Ethernet"] = {"9.9.9.9"};
  FakeUpstream upstream(FakeUpstream::answerThenEcho(kEchoAnswer));
  ASSERT_EQ(harness.vpn("startVpn", connectArguments(upstream.port())).bytes, kSuccessTrue);
  harness.commands.commands.clear();
  ASSERT_EQ(harness.vpn("stopVpn").bytes, kSuccessTrue);
  EXPECT_EQ(harness.commands.commands, restoreDnsCommands("Ethernet", kUserDns));
  EXPECT_FALSE(harness.journal.contents);
}

}  // namespace
}  // namespace quillon::testing
