#include <windows.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log/wide_text.h"
#include "log_capture.h"
#include "system/system_dns.h"
#include "system_fakes.h"

namespace quillon {
namespace {

using testing::adapter;
using ::testing::ElementsAre;
using testing::LogCapture;

TEST(NetshCommands, ExactCommandLineBytes) {
  EXPECT_EQ(setDnsCommand("Ethernet 2", "1.1.1.1"),
            "netsh interface ip set dns \"Ethernet 2\" static 1.1.1.1 primary");
  EXPECT_EQ(resetDnsCommand("WLAN"), "netsh interface ip set dns \"WLAN\" dhcp");
  EXPECT_THAT(restoreDnsCommands("WLAN", {}), ElementsAre(resetDnsCommand("WLAN")));
  EXPECT_THAT(restoreDnsCommands("Ethernet 2", {"10.0.0.53", "8.8.4.4", "1.1.1.1"}),
              ElementsAre("netsh interface ip set dns \"Ethernet 2\" static 10.0.0.53 primary",
                          "netsh interface ip add dns \"Ethernet 2\" 8.8.4.4 index=2",
                          "netsh interface ip add dns \"Ethernet 2\" 1.1.1.1 index=3"));
}

TEST(NetshCommands, NamesThatCmdWouldInterpretAreUnsafe) {
  const testing::TextVerdict rows[] = {
      {"Ethernet", true},     {"Wi-Fi 2", true},  {"LAN (office) #1", true},
      {"a\"b", false},        {"%PATH%", false},  {"x!y!", false},
      {"a^b", false},         {"a&calc", false},  {"a|b", false},
      {"a<b", false},         {"a>b", false},     {"tab\there", false},
      {"line\nbreak", false}, {"del\x7f", false},
  };
  for (const testing::TextVerdict& row : rows) {
    EXPECT_EQ(adapterNameSafeForCommand(adapter(row.text, "", kIfTypeEthernet)), row.accepted)
        << row.text;
  }
}

TEST(NetshCommands, HostileNamesNeverReachCmd) {
  LogCapture log;
  testing::RecordedSystem system;
  system.adapters.setAdapters(
      {adapter("Ethernet\" static 6.6.6.6 primary & calc & \"", "Intel(R) I219-V", kIfTypeEthernet),
       adapter("%PATH%", "Realtek PCIe GbE", kIfTypeEthernet),
       adapter("Wi-Fi", "Intel(R) Wi-Fi 6", kIfTypeWireless)});
  EXPECT_TRUE(system.setDns("1.1.1.1"));
  EXPECT_THAT(system.commands.commands,
              ElementsAre("netsh interface ip set dns \"Wi-Fi\" static 1.1.1.1 primary"));
  EXPECT_TRUE(log.contains("适配器名称含有不安全的字符，未执行命令: %PATH%"));
}

TEST(NetshCommands, NoBestFitMappingForAdapterNames) {
  bool exact = false;
  std::string converted;
  EXPECT_TRUE(narrowFromUtf16(L"Ethernet 2", CodePage::kAnsi, converted, &exact));
  EXPECT_EQ(converted, "Ethernet 2");
  EXPECT_TRUE(exact);
  EXPECT_TRUE(narrowFromUtf16(L"", CodePage::kAnsi, converted, &exact));
  EXPECT_EQ(converted, "");
  EXPECT_TRUE(exact);

  // U+FF02 (fullwidth quotation mark) would best-fit to a real '"'; Cyrillic letters have
  // no equivalent in the Western code pages.
  for (const wchar_t* name : {L"Ethernet \xFF02 & calc \xFF02", L"\x0421\x0435\x0442\x044C"}) {
    narrowFromUtf16(name, CodePage::kAnsi, converted, &exact);
    EXPECT_EQ(converted.find('"'), std::string::npos);
    NetworkAdapter a = adapter(converted, "", kIfTypeEthernet);
    a.friendlyNameExact = exact;
    if (GetACP() == CP_UTF8) {
      EXPECT_TRUE(exact);  // every character has its own bytes in UTF-8
    } else if (GetACP() == 1252) {
      EXPECT_FALSE(exact);
      EXPECT_FALSE(adapterNameSafeForCommand(a));
    }
  }
}

}  // namespace
}  // namespace quillon
