// The journal of changed network settings: its text, the checks a journal left on disk must
// pass, and putting its settings back at start-up.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "system/network_journal.h"
#include "system/network_record.h"
#include "system/network_settings.h"
#include "system_fakes.h"

namespace quillon {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;
using testing::LogCapture;
using testing::RecordedSystem;

const ProxySettings kManualProxy{kProxyTypeDirect | kProxyTypeProxy, "", "10.0.0.1:3128",
                                 "<local>;*.corp.example"};

// A new process's start-up put-back.
NetworkRecovery restoreAtStart(testing::FakeSystem& system) {
  NetworkSettings network(system.backends());
  return network.restoreLeftover();
}

RecordedSettings leftOver() {
  RecordedSettings settings;
  settings.proxy = kManualProxy;
  settings.connections = {
      {"Broadband PPPoE", {kProxyTypeDirect | kProxyTypeAutoDetect, "", "", ""}}};
  settings.adapters = {{"Ethernet", kIfTypeEthernet, {"10.0.0.53", "8.8.4.4"}},
                       {"Wi-Fi 2", kIfTypeWireless, {}}};
  return settings;
}

TEST(NetworkJournal, EncodesAndDecodesEveryValueUnchanged) {
  RecordedSettings settings = leftOver();
  settings.proxy->autoConfigUrl = "http://wpad/a%20b.pac?x=1&y=\xE4\xB8\xAD";
  settings.proxy->proxyBypass = "line\nbreak; 100% <local>";
  const std::string text = encodeJournal(settings);
  EXPECT_EQ(text.substr(0, text.find('\n')), "quillon network journal 2");
  EXPECT_NE(text.find("dns 6 10.0.0.53,8.8.4.4 Ethernet\n"), std::string::npos) << text;
  EXPECT_NE(text.find("dns 71 dhcp Wi-Fi 2\n"), std::string::npos) << text;
  EXPECT_NE(text.find("connection Broadband PPPoE\nproxy-flags 9\n"), std::string::npos) << text;
  RecordedSettings decoded;
  std::string problem;
  ASSERT_TRUE(decodeJournal(text, &decoded, &problem)) << problem;
  EXPECT_EQ(decoded, settings);
}

TEST(NetworkJournal, RefusesEverythingItWouldNotHaveWritten) {
  const std::string header = "quillon network journal 1\n";
  const std::string version2 = "quillon network journal 2\n";
  const std::string proxy =
      "proxy-flags 3\nproxy-url \nproxy-server 10.0.0.1:3128\nproxy-bypass <local>\n";
  const std::string sixteen =
      "10.0.0.1,10.0.0.2,10.0.0.3,10.0.0.4,10.0.0.5,10.0.0.6,10.0.0.7,"
      "10.0.0.8,10.0.0.9,10.0.0.10,10.0.0.11,10.0.0.12,10.0.0.13,"
      "10.0.0.14,10.0.0.15,10.0.0.16";
  struct Row {
    const char* name;
    std::string text;
  };
  const Row rows[] = {
      {"another header", "quillon network journal 3\ndns 6 dhcp Ethernet\n"},
      {"cut short", header + "dns 6 dhcp Ethernet"},
      {"CR LF lines", "quillon network journal 1\r\ndns 6 dhcp Ethernet\r\n"},
      {"unknown line", header + "run calc.exe\n"},
      {"interface type", header + "dns 24 dhcp Loopback\n"},
      {"type with a leading zero", header + "dns 06 dhcp Ethernet\n"},
      {"server with a command", header + "dns 6 1.1.1.1,&calc Ethernet\n"},
      {"server with a leading zero", header + "dns 6 010.0.0.1 Ethernet\n"},
      {"empty server", header + "dns 6 1.1.1.1,,8.8.8.8 Ethernet\n"},
      {"IPv6 server", header + "dns 6 ::1 Ethernet\n"},
      {"seventeen servers", header + "dns 6 " + sixteen + ",10.0.0.17 Ethernet\n"},
      {"no name", header + "dns 6 dhcp \n"},
      {"control byte in a name", header + "dns 6 dhcp Eth%0Aernet\n"},
      {"raw control byte", header + "dns 6 dhcp Eth\x01"
                                    "ernet\n"},
      {"needless escape", header + "dns 6 dhcp %41thernet\n"},
      {"broken escape", header + "dns 6 dhcp Ethernet%2\n"},
      {"adapter twice", header + "dns 6 dhcp Ethernet\ndns 71 dhcp Ethernet\n"},
      {"flags zero", header + "proxy-flags 0\nproxy-url \nproxy-server \nproxy-bypass \n"},
      {"unknown flag", header + "proxy-flags 16\nproxy-url \nproxy-server \nproxy-bypass \n"},
      {"three proxy lines", header + "proxy-flags 1\nproxy-url \nproxy-server \n"},
      {"proxy line twice", header + proxy + "proxy-url \n"},
      {"not UTF-8", header + "proxy-flags 5\nproxy-url http://\xC3\x28\nproxy-server \n"
                             "proxy-bypass \n"},
      {"too long a text", header + "proxy-flags 1\nproxy-url " +
                              std::string(kMaxJournalTextBytes + 1, 'a') +
                              "\nproxy-server \nproxy-bypass \n"},
      {"too large", header + std::string(kMaxJournalBytes, '#') + "\n"},
      {"connection in version 1", header + "connection PPPoE\n" + proxy},
      {"connection without its lines", version2 + "connection PPPoE\ndns 6 dhcp Ethernet\n"},
      {"proxy lines after a dns line", version2 + "dns 6 dhcp Ethernet\n" + proxy},
      {"connection twice", version2 + "connection PPPoE\n" + proxy + "connection PPPoE\n" + proxy},
      {"connection without a name", version2 + "connection \n" + proxy},
  };
  for (const Row& row : rows) {
    RecordedSettings decoded;
    std::string problem;
    EXPECT_FALSE(decodeJournal(row.text, &decoded, &problem)) << row.name;
    EXPECT_FALSE(problem.empty()) << row.name;
    EXPECT_TRUE(decoded.empty()) << row.name;
  }
  RecordedSettings decoded;
  std::string problem;
  EXPECT_TRUE(
      decodeJournal(header + proxy + "dns 6 " + sixteen + " Ethernet\n", &decoded, &problem))
      << problem;
  // The header alone is what an emptied journal holds: nothing to put back.
  EXPECT_TRUE(decodeJournal(version2, &decoded, &problem)) << problem;
  EXPECT_TRUE(decoded.empty());
}

TEST(NetworkRecovery, PutsBackWhatAKilledRunLeftThenRemovesTheJournal) {
  LogCapture log;
  testing::FakeSystem system;
  system.journal.contents = encodeJournal(leftOver());
  system.options.settings = {kProxyTypeAutoProxyUrl, "https://example.test/app/route.pac", "", ""};

  EXPECT_EQ(restoreAtStart(system), NetworkRecovery::kRestored);
  EXPECT_EQ(system.options.settings, kManualProxy);
  EXPECT_EQ(system.options.connections["Broadband PPPoE"], leftOver().connections[0].settings);
  std::vector<CommandLine> expected = restoreDnsCommands("Ethernet", {"10.0.0.53", "8.8.4.4"});
  expected.push_back(resetDnsCommand("Wi-Fi 2"));
  EXPECT_EQ(system.commands.commands, expected);
  EXPECT_THAT(
      log.lines(),
      ElementsAre("发现未恢复的系统网络设置，正在恢复", "成功重置系统PAC设置",
                  "系统代理已恢复为: 代理服务器 10.0.0.1:3128, 例外 <local>;*.corp.example",
                  "拨号连接 Broadband PPPoE 的代理已恢复为: 自动检测设置",
                  "正在重置 有线以太网 适配器: Ethernet 的DNS设置",
                  "成功重置适配器 Ethernet 的DNS设置",
                  "适配器 Ethernet 的DNS已恢复为: 10.0.0.53, 8.8.4.4",
                  "正在重置 无线网络 适配器: Wi-Fi 2 的DNS设置", "成功重置适配器 Wi-Fi 2 的DNS设置",
                  "适配器 Wi-Fi 2 的DNS已恢复为: DHCP", "系统网络设置已恢复"));
  EXPECT_FALSE(system.journal.contents);

  // Nothing left: nothing is done or logged.
  log.clear();
  EXPECT_EQ(restoreAtStart(system), NetworkRecovery::kNothingToDo);
  EXPECT_THAT(log.lines(), IsEmpty());
}

TEST(NetworkRecovery, WhatCouldNotBePutBackStaysInTheJournal) {
  LogCapture log;
  testing::FakeSystem system;
  system.journal.contents = encodeJournal(leftOver());
  system.commands.failCommandsWith = "Ethernet";
  EXPECT_EQ(restoreAtStart(system), NetworkRecovery::kFailed);
  // The rest is still put back; the failure line stands in place of the final line.
  EXPECT_TRUE(log.contains("重置适配器 Ethernet 的DNS设置失败"));
  EXPECT_EQ(log.lines().back(), "适配器 Wi-Fi 2 的DNS已恢复为: DHCP");
  const std::optional<RecordedSettings> left = system.journal.decoded();
  ASSERT_TRUE(left);
  EXPECT_EQ(left->adapters, std::vector<AdapterDnsSettings>{leftOver().adapters[0]});
  EXPECT_FALSE(left->proxy);
  EXPECT_TRUE(left->connections.empty());

  // The application state takes the rest over, so a new connection keeps the user's setting.
  RecordedSystem next;
  next.journal.contents = system.journal.contents;
  ASSERT_EQ(next.network.loadJournal(), NetworkRecord::Load::kLoaded);
  next.adapters.setAdapters({testing::adapter("Ethernet", "Intel(R) Ethernet", kIfTypeEthernet)});
  ASSERT_TRUE(next.setDns("9.9.9.9"));
  EXPECT_THAT(next.adapterDns.reads, IsEmpty());
  next.commands.commands.clear();
  EXPECT_TRUE(next.resetDns());
  EXPECT_EQ(next.commands.commands, restoreDnsCommands("Ethernet", {"10.0.0.53", "8.8.4.4"}));
}

TEST(NetworkRecovery, AHostileJournalIsSetAsideAndNeverExecuted) {
  LogCapture log;
  testing::FakeSystem system;
  const std::string hostile =
      "quillon network journal 1\nproxy-flags 2\nproxy-url \nproxy-server 6.6.6.6:80\n"
      "proxy-bypass \ndns 6 6.6.6.6 Ethernet\ndns 6 dhcp Eth\"ernet & calc %0A\n";
  system.journal.contents = hostile;
  EXPECT_EQ(restoreAtStart(system), NetworkRecovery::kFailed);
  EXPECT_THAT(system.options.applied, IsEmpty());
  EXPECT_THAT(system.commands.commands, IsEmpty());
  EXPECT_FALSE(system.journal.contents);
  EXPECT_EQ(system.journal.rejected, hostile);
  EXPECT_THAT(log.lines(), ElementsAre("系统网络设置恢复记录无效，已移至一旁，不会执行: 第7行: "
                                       "网卡名称不安全"));

  // A journal that cannot be read is left where it is, for the next start.
  log.clear();
  system.journal.contents = encodeJournal(leftOver());
  system.journal.failReads = true;
  EXPECT_EQ(restoreAtStart(system), NetworkRecovery::kFailed);
  EXPECT_THAT(log.lines(), ElementsAre("无法读取系统网络设置恢复记录: 5"));
  EXPECT_TRUE(system.journal.contents);
}

TEST(NetworkJournalOnDisk, AJournalThatCannotBeDeletedIsEmptiedAndNeverPutBackAgain) {
  LogCapture log;
  RecordedSystem system;
  system.options.settings = kManualProxy;
  ASSERT_TRUE(system.setPac("https://example.test/app/route.pac"));
  system.journal.failRemoves = true;  // held open by another program, also after the retries
  ASSERT_TRUE(system.resetPac());
  EXPECT_EQ(system.journal.contents, "quillon network journal 2\n");
  EXPECT_TRUE(log.contains("无法删除系统网络设置恢复记录: 5"));
  EXPECT_TRUE(log.contains("系统网络设置恢复记录已清空，不会再被执行"));

  // The user changes the proxy; the next start must leave that alone.
  system.options.settings = {kProxyTypeDirect, "", "", ""};
  system.options.applied.clear();
  EXPECT_EQ(restoreAtStart(system), NetworkRecovery::kNothingToDo);
  EXPECT_THAT(system.options.applied, IsEmpty());
}

TEST(NetworkJournalOnDisk, AJournalThatCannotBeReadAtStartIsNeverOverwrittenByANewRecord) {
  LogCapture log;
  RecordedSystem system;
  system.journal.contents = encodeJournal(leftOver());
  system.journal.failReads = true;
  // What the killed run left in force: its own PAC and DNS server.
  const ProxySettings killedRuns{kProxyTypeAutoProxyUrl, "https://example.test/app/route.pac", "",
                                 ""};
  system.options.settings = killedRuns;
  system.adapters.setAdapters({testing::adapter("Ethernet", "Intel(R) Ethernet", kIfTypeEthernet)});
  system.adapterDns.servers["Ethernet"] = {"9.9.9.9"};
  EXPECT_EQ(system.network.restoreLeftover(), NetworkRecovery::kFailed);

  EXPECT_FALSE(system.setPac("https://example.test/app/route.pac"));
  EXPECT_FALSE(system.setDns("9.9.9.9"));
  EXPECT_EQ(system.journal.contents, encodeJournal(leftOver()));
  EXPECT_THAT(system.options.applied, IsEmpty());
  EXPECT_THAT(system.commands.commands, IsEmpty());
  EXPECT_EQ(log.count("系统网络设置恢复记录无法读取，为保留其中记下的原有设置，本次不更改系统设置"),
            2);

  // Readable again (the scanner let go): what it holds is taken over, and a disconnect puts
  // back the user's settings, not the killed run's.
  system.journal.failReads = false;
  ASSERT_TRUE(system.setPac("https://example.test/app/route.pac"));
  ASSERT_TRUE(system.setDns("9.9.9.9"));
  EXPECT_EQ(system.options.queries, 0);
  EXPECT_THAT(system.adapterDns.reads, IsEmpty());
  ASSERT_TRUE(system.network.putEverythingBack());
  EXPECT_EQ(system.options.settings, kManualProxy);
  std::vector<CommandLine> expected = {setDnsCommand("Ethernet", "9.9.9.9")};
  for (const CommandLine& command : restoreDnsCommands("Ethernet", {"10.0.0.53", "8.8.4.4"})) {
    expected.push_back(command);
  }
  expected.push_back(resetDnsCommand("Wi-Fi 2"));
  EXPECT_EQ(system.commands.commands, expected);
}

TEST(HeldFiles, TriedAgainWithBackOffForAboutTwoSecondsOnlyWhileHeld) {
  struct Row {
    unsigned long code;
    int failures;
    bool succeeds;
    int tries;
  };
  const Row rows[] = {
      {5, 0, true, 1}, {32, 1, true, 2}, {5, 9, true, 10}, {32, 10, false, 10}, {2, 3, false, 1},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.code << " x" << row.failures);
    int tries = 0;
    std::chrono::milliseconds waited{0};
    unsigned long code = 0;
    const bool done = retryWhileHeld(
        [&](unsigned long* error) {
          if (++tries > row.failures) return true;
          *error = row.code;
          return false;
        },
        [](unsigned long error) { return error == 5 || error == 32; },
        [&](std::chrono::milliseconds delay) { waited += delay; }, &code);
    EXPECT_EQ(done, row.succeeds);
    EXPECT_EQ(tries, row.tries);
    if (!row.succeeds) {
      EXPECT_EQ(code, row.code);
    }
    // Every wait is used once all but the last try failed: about 2 s, never more.
    EXPECT_LE(waited, std::chrono::milliseconds(2200));
    EXPECT_EQ(waited >= std::chrono::milliseconds(2000), row.failures >= 9 && row.code != 2);
  }
}

}  // namespace
}  // namespace quillon
