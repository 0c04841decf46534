#include "system/system_dns.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "system_fakes.h"

namespace quillon {
namespace {

using testing::adapter;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::LogCapture;
using testing::RecordedSystem;

TEST(DottedQuad, AcceptsOnlyFourDecimalOctets) {
  const testing::TextVerdict rows[] = {
      {"1.1.1.1", true},    {"0.0.0.0", true},         {"255.255.255.255", true},
      {"8.8.4.4", true},    {"10.0.100.254", true},    {"", false},
      {"1.1.1", false},     {"1.1.1.1.", false},       {".1.1.1.1", false},
      {"1.1.1.1.1", false}, {"1..1.1", false},         {"256.1.1.1", false},
      {"999.1.1.1", false}, {"1.1.1.1000", false},     {"01.1.1.1", false},
      {"1.1.1.010", false}, {" 1.1.1.1", false},       {"1.1.1.1 ", false},
      {"1.1.1.1\n", false}, {"+1.1.1.1", false},       {"-1.1.1.1", false},
      {"::1", false},       {"1.1.1.1 & calc", false}, {"0x1.1.1.1", false},
      {"1.1.1.1\"", false}, {"a.b.c.d", false},        {"1,1,1,1", false},
  };
  for (const testing::TextVerdict& row : rows) {
    EXPECT_EQ(isDottedQuadIpv4(row.text), row.accepted) << "'" << row.text << "'";
  }
  EXPECT_FALSE(isDottedQuadIpv4(std::string("1.1.1.1\0", 8)));
  EXPECT_FALSE(isDottedQuadIpv4(std::string(1024, '1')));
}

TEST(DnsServerList, CommasOrSpacesBetweenDottedQuadsOnly) {
  struct Row {
    const char* text;
    bool accepted;
    std::vector<std::string> servers;
  };
  const Row rows[] = {
      {"", true, {}},
      {"192.168.1.1", true, {"192.168.1.1"}},
      {"10.0.0.53,8.8.4.4", true, {"10.0.0.53", "8.8.4.4"}},
      {"10.0.0.53 8.8.4.4", true, {"10.0.0.53", "8.8.4.4"}},
      {"10.0.0.53, 8.8.4.4", true, {"10.0.0.53", "8.8.4.4"}},
      {"10.0.0.53,fe80::1", false, {}},
      {"10.0.0.53;8.8.4.4", false, {}},
      {"1.1.1.1 & calc", false, {}},
  };
  for (const Row& row : rows) {
    std::vector<std::string> servers = {"stale"};
    EXPECT_EQ(parseDnsServerList(row.text, &servers), row.accepted) << row.text;
    EXPECT_EQ(servers, row.servers) << row.text;
  }
  std::string sixteen;
  for (int i = 0; i < 16; ++i) sixteen += "10.0.0." + std::to_string(i + 1) + ",";
  std::vector<std::string> servers;
  EXPECT_TRUE(parseDnsServerList(sixteen, &servers));
  EXPECT_FALSE(parseDnsServerList(sixteen + "10.0.0.99", &servers));
}

TEST(SystemDns, RefusesAServerThatIsNotADottedQuadBeforeReadingAdapters) {
  const std::string hostile[] = {"1.1.1.1 & calc",
                                 "::1",
                                 "999.1.1.1",
                                 " 1.1.1.1",
                                 "1.1.1.1\" static 9.9.9.9 primary & calc",
                                 std::string(1024, 'A')};
  for (const std::string& server : hostile) {
    LogCapture log;
    RecordedSystem system;
    system.adapters.setAdapters({adapter("Ethernet", "Intel(R) Ethernet", kIfTypeEthernet)});
    EXPECT_FALSE(system.setDns(server)) << server;
    EXPECT_EQ(system.adapters.reads, 0);
    EXPECT_THAT(system.commands.commands, IsEmpty());
    EXPECT_FALSE(system.network.dnsChanged());
    EXPECT_FALSE(system.journal.contents);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.containsPrefix("无效的DNS服务器地址: ")) << log.text();
  }
}

TEST(SystemDns, RefusalLineKeepsControlBytesAndLongTextsOnOneShortLine) {
  LogCapture log;
  RecordedSystem system;
  EXPECT_FALSE(system.setDns("1.1.1.1\r\nforged line"));
  EXPECT_FALSE(system.setDns(std::string(1024, 'A')));
  EXPECT_FALSE(system.network.dnsChanged());
  EXPECT_THAT(log.lines(), ElementsAre("无效的DNS服务器地址: 1.1.1.1\\x0D\\x0Aforged line",
                                       "无效的DNS服务器地址: " + std::string(256, 'A') + "..."));
}

TEST(SystemDns, AdapterTextsWithLineBreaksOrGreatLengthStayOnOneBoundedLine) {
  const std::string forged = "Ethernet\r\n成功为有线以太网适配器 Ethernet 设置DNS为 6.6.6.6";
  const std::string escaped = "Ethernet\\x0D\\x0A成功为有线以太网适配器 Ethernet 设置DNS为 6.6.6.6";
  LogCapture log;
  RecordedSystem system;
  system.adapters.setAdapters({
      adapter(forged, "Intel(R) Ethernet", kIfTypeEthernet),
      adapter("Wi-Fi\n", std::string(5000, 'D') + "Virtual", kIfTypeWireless),
      adapter(std::string(5000, 'N'), "Mobile Broadband\r\n", 243),
  });
  EXPECT_FALSE(system.setDns("1.1.1.1"));
  // A name holding a control byte never reaches a command, so there is nothing to put back.
  EXPECT_TRUE(system.resetDns());
  EXPECT_THAT(system.commands.commands, IsEmpty());
  const std::string longName = std::string(256, 'N') + "...";
  EXPECT_THAT(log.lines(),
              ElementsAre("正在配置 有线以太网 适配器: " + escaped,
                          "适配器名称含有不安全的字符，未执行命令: " + escaped,
                          "检测到虚拟网卡关键词 'Virtual' in: Wi-Fi\\x0A",
                          "跳过虚拟网卡: Wi-Fi\\x0A (" + std::string(256, 'D') + "...)",
                          "跳过适配器 " + longName + " (类型: 243)"));
}

TEST(SystemDns, VirtualKeywordsAreTestedInTableOrderOnBothTexts) {
  LogCapture log;
  RecordedSystem system;
  system.adapters.setAdapters({
      adapter("vEthernet (Default Switch)", "Hyper-V Virtual Ethernet Adapter", kIfTypeEthernet),
      adapter("Ethernet 3", "Hyper-V Network Adapter", kIfTypeEthernet),
      adapter("Corp VPN", "Realtek PCIe GbE", kIfTypeEthernet),
      adapter("Ethernet 4", "TAP-Windows Adapter V9", kIfTypeEthernet),
      adapter("vpn office", "Intel(R) Ethernet Connection", kIfTypeEthernet),
  });
  EXPECT_TRUE(system.setDns("9.9.9.9"));
  EXPECT_THAT(
      log.lines(),
      ElementsAre("检测到虚拟网卡关键词 'Virtual' in: vEthernet (Default Switch)",
                  "跳过虚拟网卡: vEthernet (Default Switch) (Hyper-V Virtual Ethernet Adapter)",
                  "检测到虚拟网卡关键词 'Hyper-V' in: Ethernet 3",
                  "跳过虚拟网卡: Ethernet 3 (Hyper-V Network Adapter)",
                  "检测到虚拟网卡关键词 'VPN' in: Corp VPN",
                  "跳过虚拟网卡: Corp VPN (Realtek PCIe GbE)",
                  "检测到虚拟网卡关键词 'TAP' in: Ethernet 4",
                  "跳过虚拟网卡: Ethernet 4 (TAP-Windows Adapter V9)",
                  "正在配置 有线以太网 适配器: vpn office",
                  "成功为有线以太网适配器 vpn office 设置DNS为 9.9.9.9"));
  EXPECT_THAT(system.commands.commands, ElementsAre(setDnsCommand("vpn office", "9.9.9.9")));
}

// One list that exercises every selection rule.
std::vector<NetworkAdapter> mixedAdapters() {
  return {
      adapter("Ethernet", "Intel(R) Ethernet Connection I219-V", kIfTypeEthernet),
      adapter("Wi-Fi", "Intel(R) Wi-Fi 6 AX201", kIfTypeWireless),
      adapter("Ethernet 2", "Realtek USB GbE", kIfTypeEthernet, /*up=*/false),
      adapter("Ethernet 5", "Realtek PCIe GbE", kIfTypeEthernet, true, /*hasAddress=*/false),
      adapter("VMware Network Adapter VMnet8", "VMware Virtual Ethernet Adapter", kIfTypeEthernet,
              /*up=*/false),
      adapter("Cellular", "Mobile Broadband Device", 243),
  };
}

TEST(SystemDns, SetWalksEveryRuleRecordsEachAdapterFirstAndMarksTheChange) {
  LogCapture log;
  RecordedSystem system;
  system.adapters.setAdapters(mixedAdapters());
  system.adapterDns.servers["Wi-Fi"] = {"192.168.1.1"};
  EXPECT_TRUE(system.setDns("1.1.1.1"));
  EXPECT_TRUE(system.network.dnsChanged());
  EXPECT_THAT(system.commands.commands,
              ElementsAre(setDnsCommand("Ethernet", "1.1.1.1"), setDnsCommand("Wi-Fi", "1.1.1.1")));
  EXPECT_THAT(
      log.lines(),
      ElementsAre("正在配置 有线以太网 适配器: Ethernet",
                  "成功为有线以太网适配器 Ethernet 设置DNS为 1.1.1.1",
                  "正在配置 无线网络 适配器: Wi-Fi", "成功为无线网络适配器 Wi-Fi 设置DNS为 1.1.1.1",
                  "检测到虚拟网卡关键词 'Virtual' in: VMware Network Adapter VMnet8",
                  "跳过虚拟网卡: VMware Network Adapter VMnet8 (VMware Virtual Ethernet "
                  "Adapter)",
                  "跳过适配器 Cellular (类型: 243)"));
  // Each adapter's setting reaches the journal before its command runs.
  EXPECT_THAT(
      system.timeline,
      ElementsAre("journal write", "run " + testing::commandText(system.commands.commands[0]),
                  "journal write", "run " + testing::commandText(system.commands.commands[1])));
  EXPECT_EQ(system.record().outstanding().adapters,
            (std::vector<AdapterDnsSettings>{{"Ethernet", kIfTypeEthernet, {}},
                                             {"Wi-Fi", kIfTypeWireless, {"192.168.1.1"}}}));
}

TEST(SystemDns, ResetPutsBackExactlyWhatEachChangedAdapterHadAndNothingElse) {
  const std::vector<std::string> shapes[] = {{}, {"192.168.1.1"}, {"10.0.0.53", "8.8.4.4"}};
  for (const std::vector<std::string>& before : shapes) {
    SCOPED_TRACE(before.size());
    LogCapture log;
    RecordedSystem system;
    system.adapters.setAdapters({adapter("Ethernet", "Intel(R) Ethernet", kIfTypeEthernet)});
    if (!before.empty()) system.adapterDns.servers["Ethernet"] = before;
    ASSERT_TRUE(system.setDns("9.9.9.9"));
    // An adapter that appeared after connecting was never changed: the reset leaves it alone.
    system.adapters.setAdapters({adapter("Ethernet", "Intel(R) Ethernet", kIfTypeEthernet),
                                 adapter("Wi-Fi", "Intel(R) Wi-Fi", kIfTypeWireless)});
    system.commands.commands.clear();
    log.clear();

    EXPECT_TRUE(system.resetDns());
    EXPECT_EQ(system.commands.commands, restoreDnsCommands("Ethernet", before));
    const std::string restored = before.empty()       ? "DHCP"
                                 : before.size() == 1 ? "192.168.1.1"
                                                      : "10.0.0.53, 8.8.4.4";
    EXPECT_THAT(log.lines(), ElementsAre("正在重置 有线以太网 适配器: Ethernet 的DNS设置",
                                         "成功重置适配器 Ethernet 的DNS设置",
                                         "适配器 Ethernet 的DNS已恢复为: " + restored));
    EXPECT_FALSE(system.network.dnsChanged());
    EXPECT_FALSE(system.journal.contents);  // removed once everything is back
    EXPECT_EQ(system.timeline.back(), "journal remove");

    // A second reset finds nothing to do: nothing is run or logged.
    log.clear();
    EXPECT_TRUE(system.resetDns());
    EXPECT_EQ(system.commands.commands.size(), restoreDnsCommands("Ethernet", before).size());
    EXPECT_THAT(log.lines(), IsEmpty());
  }
}

TEST(SystemDns, TheFirstChangeOfAConnectionIsWhatTheResetReturnsTo) {
  RecordedSystem system;
  system.adapters.setAdapters({adapter("Ethernet", "Intel(R) Ethernet", kIfTypeEthernet)});
  system.adapterDns.servers["Ethernet"] = {"192.168.1.1"};
  ASSERT_TRUE(system.setDns("9.9.9.9"));
  system.adapterDns.servers["Ethernet"] = {"9.9.9.9"};  // what netsh did
  ASSERT_TRUE(system.setDns("1.1.1.1"));
  EXPECT_EQ(system.adapterDns.reads, std::vector<std::string>{"Ethernet"});
  system.commands.commands.clear();
  EXPECT_TRUE(system.resetDns());
  EXPECT_EQ(system.commands.commands, restoreDnsCommands("Ethernet", {"192.168.1.1"}));
}

TEST(SystemDns, FailedCommandsKeepTheAdaptersForTheNextReset) {
  LogCapture log;
  RecordedSystem system;
  system.adapters.setAdapters(mixedAdapters());
  system.commands.failCommands = true;
  EXPECT_FALSE(system.setDns("1.1.1.1"));
  EXPECT_TRUE(system.network.dnsChanged());
  EXPECT_FALSE(log.containsPrefix("成功"));
  EXPECT_EQ(system.commands.commands.size(), 2u);

  // Only Wi-Fi fails to come back: it stays in the record and the journal.
  log.clear();
  system.commands.failCommands = false;
  system.commands.failCommandsWith = "Wi-Fi";
  EXPECT_FALSE(system.resetDns());
  EXPECT_FALSE(system.network.dnsChanged());
  EXPECT_TRUE(log.contains("成功重置适配器 Ethernet 的DNS设置"));
  EXPECT_EQ(log.lines().back(), "重置适配器 Wi-Fi 的DNS设置失败");
  ASSERT_TRUE(system.journal.decoded());
  EXPECT_EQ(system.journal.decoded()->adapters,
            (std::vector<AdapterDnsSettings>{{"Wi-Fi", kIfTypeWireless, {}}}));
}

TEST(SystemDns, AnAdapterWhoseSettingCannotBeReadIsNotChanged) {
  LogCapture log;
  RecordedSystem system;
  system.adapters.setAdapters(mixedAdapters());
  system.adapterDns.unreadable = {"Ethernet"};
  EXPECT_TRUE(system.setDns("1.1.1.1"));
  EXPECT_THAT(system.commands.commands, ElementsAre(setDnsCommand("Wi-Fi", "1.1.1.1")));
  EXPECT_TRUE(log.contains("读取适配器 Ethernet 的DNS设置失败: 13"));
  EXPECT_EQ(system.record().outstanding().adapters.size(), 1u);
}

TEST(SystemDns, NoEligibleAdapterGivesFalseWithOnlySkipLines) {
  LogCapture log;
  RecordedSystem system;
  system.adapters.setAdapters(
      {adapter("Loopback Pseudo-Interface 1", "Software Loopback Interface 1", 24),
       adapter("Cellular", "Mobile Broadband Device", 243)});
  EXPECT_FALSE(system.setDns("1.1.1.1"));
  EXPECT_TRUE(system.network.dnsChanged());
  EXPECT_THAT(system.commands.commands, IsEmpty());
  EXPECT_EQ(log.lines().size(), 3u);
  EXPECT_FALSE(system.journal.contents);
}

TEST(SystemDns, UnreadableAdapterListLeavesTheFlagAlone) {
  struct Row {
    AdapterListStatus status;
    unsigned long code;
    const char* line;
  };
  const Row rows[] = {{AdapterListStatus::kOutOfMemory, 0, "内存分配失败"},
                      {AdapterListStatus::kFailed, 111, "GetAdaptersAddresses 失败: 111"}};
  for (const Row& row : rows) {
    LogCapture log;
    RecordedSystem system;
    system.adapters.list.status = row.status;
    system.adapters.list.errorCode = row.code;
    EXPECT_FALSE(system.setDns("1.1.1.1"));
    EXPECT_FALSE(system.network.dnsChanged());
    EXPECT_THAT(log.lines(), ElementsAre(row.line));
  }
}

TEST(SystemDns, AnInexactlyConvertedNameIsRefusedAndTheWalkGoesOn) {
  NetworkAdapter lookalike = adapter("Ethernet ?", "Intel(R) Ethernet", kIfTypeEthernet);
  lookalike.friendlyNameExact = false;
  LogCapture log;
  RecordedSystem system;
  system.adapters.setAdapters({lookalike, adapter("Wi-Fi", "Intel(R) Wi-Fi", kIfTypeWireless)});
  EXPECT_TRUE(system.setDns("1.1.1.1"));
  EXPECT_TRUE(system.resetDns());
  EXPECT_THAT(system.commands.commands,
              ElementsAre(setDnsCommand("Wi-Fi", "1.1.1.1"), resetDnsCommand("Wi-Fi")));
  EXPECT_EQ(log.count("适配器名称含有不安全的字符，未执行命令: Ethernet ?"), 1);
  EXPECT_FALSE(log.contains("成功为有线以太网适配器 Ethernet ? 设置DNS为 1.1.1.1"));
  EXPECT_EQ(system.adapterDns.reads, std::vector<std::string>{"Wi-Fi"});  // never recorded
}

}  // namespace
}  // namespace quillon
