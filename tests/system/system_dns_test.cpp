#include "system/system_dns.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "system_fakes.h"

namespace quillon {
namespace {

using testing::adapter;
using ::testing::ElementsAre;
using testing::FakeAdapterSource;
using testing::FakeCommandRunner;
using ::testing::IsEmpty;
using testing::LogCapture;

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

TEST(SystemDns, RefusesAServerThatIsNotADottedQuadBeforeReadingAdapters) {
  const std::string hostile[] = {"1.1.1.1 & calc",
                                 "::1",
                                 "999.1.1.1",
                                 " 1.1.1.1",
                                 "1.1.1.1\" static 9.9.9.9 primary & calc",
                                 std::string(1024, 'A')};
  for (const std::string& server : hostile) {
    LogCapture log;
    FakeAdapterSource source;
    source.setAdapters({adapter("Ethernet", "Intel(R) Ethernet", kIfTypeEthernet)});
    FakeCommandRunner runner;
    std::string marker;
    EXPECT_FALSE(setSystemDns(marker, server, source, runner)) << server;
    EXPECT_EQ(source.reads, 0);
    EXPECT_THAT(runner.commands, IsEmpty());
    EXPECT_EQ(marker, "");
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_TRUE(log.containsPrefix("无效的DNS服务器地址: ")) << log.text();
  }
}

TEST(SystemDns, RefusalLineKeepsControlBytesAndLongTextsOnOneShortLine) {
  LogCapture log;
  FakeAdapterSource source;
  FakeCommandRunner runner;
  std::string marker = "changed";
  EXPECT_FALSE(setSystemDns(marker, "1.1.1.1\r\nforged line", source, runner));
  EXPECT_FALSE(setSystemDns(marker, std::string(1024, 'A'), source, runner));
  EXPECT_EQ(marker, "changed");
  EXPECT_THAT(log.lines(), ElementsAre("无效的DNS服务器地址: 1.1.1.1\\x0D\\x0Aforged line",
                                       "无效的DNS服务器地址: " + std::string(256, 'A') + "..."));
}

TEST(SystemDns, AdapterTextsWithLineBreaksOrGreatLengthStayOnOneBoundedLine) {
  const std::string forged = "Ethernet\r\n成功为有线以太网适配器 Ethernet 设置DNS为 6.6.6.6";
  const std::string escaped = "Ethernet\\x0D\\x0A成功为有线以太网适配器 Ethernet 设置DNS为 6.6.6.6";
  LogCapture log;
  FakeAdapterSource source;
  source.setAdapters({
      adapter(forged, "Intel(R) Ethernet", kIfTypeEthernet),
      adapter("Wi-Fi\n", std::string(5000, 'D') + "Virtual", kIfTypeWireless),
      adapter(std::string(5000, 'N'), "Mobile Broadband\r\n", 243),
  });
  FakeCommandRunner runner;
  std::string marker;
  EXPECT_FALSE(setSystemDns(marker, "1.1.1.1", source, runner));
  EXPECT_FALSE(resetSystemDns(marker, source, runner));
  // A name holding a control byte never reaches a command.
  EXPECT_THAT(runner.commands, IsEmpty());
  const std::string longName = std::string(256, 'N') + "...";
  EXPECT_THAT(log.lines(),
              ElementsAre("正在配置 有线以太网 适配器: " + escaped,
                          "适配器名称含有不安全的字符，未执行命令: " + escaped,
                          "检测到虚拟网卡关键词 'Virtual' in: Wi-Fi\\x0A",
                          "跳过虚拟网卡: Wi-Fi\\x0A (" + std::string(256, 'D') + "...)",
                          "跳过适配器 " + longName + " (类型: 243)",
                          "正在重置 有线以太网 适配器: " + escaped + " 的DNS设置",
                          "适配器名称含有不安全的字符，未执行命令: " + escaped,
                          "重置适配器 " + escaped + " 的DNS设置失败",
                          "检测到虚拟网卡关键词 'Virtual' in: Wi-Fi\\x0A",
                          "跳过虚拟网卡: Wi-Fi\\x0A (" + std::string(256, 'D') + "...)",
                          "跳过非以太网/无线网络适配器: " + longName + " (类型: 243)"));
}

TEST(SystemDns, VirtualKeywordsAreTestedInTableOrderOnBothTexts) {
  LogCapture log;
  FakeAdapterSource source;
  source.setAdapters({
      adapter("vEthernet (Default Switch)", "Hyper-V Virtual Ethernet Adapter", kIfTypeEthernet),
      adapter("Ethernet 3", "Hyper-V Network Adapter", kIfTypeEthernet),
      adapter("Corp VPN", "Realtek PCIe GbE", kIfTypeEthernet),
      adapter("Ethernet 4", "TAP-Windows Adapter V9", kIfTypeEthernet),
      adapter("vpn office", "Intel(R) Ethernet Connection", kIfTypeEthernet),
  });
  FakeCommandRunner runner;
  std::string marker;
  EXPECT_TRUE(setSystemDns(marker, "9.9.9.9", source, runner));
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
  EXPECT_THAT(runner.commands, ElementsAre(setDnsCommand("vpn office", "9.9.9.9")));
}

// One list that exercises every selection rule, walked by both operations.
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

TEST(SystemDns, SetWalksEveryRuleAndMarksTheChange) {
  LogCapture log;
  FakeAdapterSource source;
  source.setAdapters(mixedAdapters());
  FakeCommandRunner runner;
  std::string marker;
  EXPECT_TRUE(setSystemDns(marker, "1.1.1.1", source, runner));
  EXPECT_EQ(marker, "changed");
  EXPECT_THAT(runner.commands,
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
}

TEST(SystemDns, ResetTestsStateBeforeKeywordsAndEmptiesTheMarker) {
  LogCapture log;
  FakeAdapterSource source;
  source.setAdapters(mixedAdapters());
  FakeCommandRunner runner;
  std::string marker = "changed";
  EXPECT_TRUE(resetSystemDns(marker, source, runner));
  EXPECT_EQ(marker, "");
  EXPECT_THAT(runner.commands, ElementsAre(resetDnsCommand("Ethernet"), resetDnsCommand("Wi-Fi")));
  // The down virtual adapter is passed over silently here.
  EXPECT_THAT(log.lines(), ElementsAre("正在重置 有线以太网 适配器: Ethernet 的DNS设置",
                                       "成功重置适配器 Ethernet 的DNS设置",
                                       "正在重置 无线网络 适配器: Wi-Fi 的DNS设置",
                                       "成功重置适配器 Wi-Fi 的DNS设置",
                                       "跳过非以太网/无线网络适配器: Cellular (类型: 243)"));

  // A second reset finds the marker empty: nothing is read, run or logged.
  log.clear();
  EXPECT_TRUE(resetSystemDns(marker, source, runner));
  EXPECT_EQ(source.reads, 1);
  EXPECT_EQ(runner.commands.size(), 2u);
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(SystemDns, FailedCommandsStillLeaveTheMarkerForTheReset) {
  LogCapture log;
  FakeAdapterSource source;
  source.setAdapters(mixedAdapters());
  FakeCommandRunner runner;
  runner.succeed = false;
  std::string marker;
  EXPECT_FALSE(setSystemDns(marker, "1.1.1.1", source, runner));
  EXPECT_EQ(marker, "changed");
  EXPECT_FALSE(log.containsPrefix("成功"));
  EXPECT_EQ(runner.commands.size(), 2u);

  log.clear();
  EXPECT_FALSE(resetSystemDns(marker, source, runner));
  EXPECT_EQ(marker, "");
  EXPECT_EQ(log.count("重置适配器 Ethernet 的DNS设置失败"), 1);
  EXPECT_EQ(log.count("重置适配器 Wi-Fi 的DNS设置失败"), 1);
}

TEST(SystemDns, NoEligibleAdapterGivesFalseWithOnlySkipLines) {
  LogCapture log;
  FakeAdapterSource source;
  source.setAdapters({adapter("Loopback Pseudo-Interface 1", "Software Loopback Interface 1", 24),
                      adapter("Cellular", "Mobile Broadband Device", 243)});
  FakeCommandRunner runner;
  std::string marker;
  EXPECT_FALSE(setSystemDns(marker, "1.1.1.1", source, runner));
  EXPECT_EQ(marker, "changed");
  EXPECT_THAT(runner.commands, IsEmpty());
  EXPECT_EQ(log.lines().size(), 3u);
}

TEST(SystemDns, UnreadableAdapterListLeavesTheMarkerAlone) {
  struct Row {
    AdapterListStatus status;
    unsigned long code;
    const char* line;
  };
  const Row rows[] = {{AdapterListStatus::kOutOfMemory, 0, "内存分配失败"},
                      {AdapterListStatus::kFailed, 111, "GetAdaptersAddresses 失败: 111"}};
  for (const Row& row : rows) {
    LogCapture log;
    FakeAdapterSource source;
    source.list.status = row.status;
    source.list.errorCode = row.code;
    FakeCommandRunner runner;
    std::string empty;
    EXPECT_FALSE(setSystemDns(empty, "1.1.1.1", source, runner));
    EXPECT_EQ(empty, "");
    std::string changed = "changed";
    EXPECT_FALSE(resetSystemDns(changed, source, runner));
    EXPECT_EQ(changed, "changed");
    EXPECT_THAT(log.lines(), ElementsAre(row.line, row.line));
  }
}

TEST(SystemDns, AnInexactlyConvertedNameIsRefusedAndTheWalkGoesOn) {
  NetworkAdapter lookalike = adapter("Ethernet ?", "Intel(R) Ethernet", kIfTypeEthernet);
  lookalike.friendlyNameExact = false;
  LogCapture log;
  FakeAdapterSource source;
  source.setAdapters({lookalike, adapter("Wi-Fi", "Intel(R) Wi-Fi", kIfTypeWireless)});
  FakeCommandRunner runner;
  std::string marker;
  EXPECT_TRUE(setSystemDns(marker, "1.1.1.1", source, runner));
  EXPECT_TRUE(resetSystemDns(marker, source, runner));
  EXPECT_THAT(runner.commands,
              ElementsAre(setDnsCommand("Wi-Fi", "1.1.1.1"), resetDnsCommand("Wi-Fi")));
  EXPECT_EQ(log.count("适配器名称含有不安全的字符，未执行命令: Ethernet ?"), 2);
  EXPECT_FALSE(log.contains("成功为有线以太网适配器 Ethernet ? 设置DNS为 1.1.1.1"));
  EXPECT_TRUE(log.contains("重置适配器 Ethernet ? 的DNS设置失败"));
}

}  // namespace
}  // namespace quillon
