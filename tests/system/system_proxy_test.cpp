#include "system/system_proxy.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "system_fakes.h"

namespace quillon {
namespace {

using ::testing::ElementsAre;
using testing::FakeInternetOptions;
using testing::LogCapture;
using testing::RecordedSystem;

const ConnectionOption kDirect{kOptionFlags, "", kProxyTypeDirect};

ConnectionOption autoConfig(const std::string& url) { return {kOptionAutoConfigUrl, url, 0}; }
const ConnectionOption kAutoFlags{kOptionFlags, "", kProxyTypeAutoProxyUrl};

TEST(SystemPac, SetAppliesUrlThenAutoFlagAndRefreshes) {
  LogCapture log;
  FakeInternetOptions setter;
  ASSERT_TRUE(setSystemPac("https://example.test/app/route.pac", setter));
  EXPECT_THAT(setter.calls, ElementsAre("apply", "refresh"));
  EXPECT_THAT(setter.applied, ElementsAre(ElementsAre(
                                  autoConfig("https://example.test/app/route.pac"), kAutoFlags)));
  EXPECT_THAT(log.lines(), ElementsAre("成功设置系统PAC为: https://example.test/app/route.pac"));

  // A second URL replaces the first with the same flag; no direct bit is ever added.
  ASSERT_TRUE(setSystemPac("https://example.test/app/macos.pac", setter));
  ASSERT_EQ(setter.applied.size(), 2u);
  EXPECT_THAT(setter.applied[1],
              ElementsAre(autoConfig("https://example.test/app/macos.pac"), kAutoFlags));
}

TEST(SystemPac, ResetWritesOnlyTheDirectFlagEvenWhenNothingWasSet) {
  LogCapture log;
  FakeInternetOptions setter;
  EXPECT_TRUE(resetSystemPac(setter));
  EXPECT_TRUE(resetSystemPac(setter));
  EXPECT_THAT(setter.applied, ElementsAre(ElementsAre(kDirect), ElementsAre(kDirect)));
  EXPECT_THAT(setter.calls, ElementsAre("apply", "refresh", "apply", "refresh"));
  EXPECT_EQ(log.count("成功重置系统PAC设置"), 2);
}

TEST(SystemPac, RefusedOptionsAreReportedWithTheirCodeAndChangeNothingElse) {
  LogCapture log;
  FakeInternetOptions setter;
  setter.failApplies = true;
  setter.failCode = 87;
  EXPECT_FALSE(setSystemPac("https://example.test/app/route.pac", setter));
  EXPECT_FALSE(resetSystemPac(setter));
  EXPECT_THAT(setter.calls, ElementsAre("apply", "apply"));  // no refresh after a failure
  EXPECT_THAT(log.lines(), ElementsAre("设置PAC URL失败: 87", "重置代理设置失败: 87"));
}

// The shapes a user's default connection may have before connecting; each comes back exactly.
struct PacShape {
  const char* name;
  ProxySettings settings;
  const char* restoredTo;
};
const PacShape kPacShapes[] = {
    {"direct", {kProxyTypeDirect, "", "", ""}, "直接连接"},
    {"manual proxy with bypass",
     {kProxyTypeDirect | kProxyTypeProxy, "", "10.0.0.1:3128", "<local>;*.corp.example"},
     "代理服务器 10.0.0.1:3128, 例外 <local>;*.corp.example"},
    {"another PAC URL",
     {kProxyTypeDirect | kProxyTypeAutoProxyUrl, "http://wpad.corp.example/proxy.pac", "", ""},
     "自动配置脚本 http://wpad.corp.example/proxy.pac"},
    {"automatic detection",
     {kProxyTypeDirect | kProxyTypeAutoDetect, "", "10.0.0.1:3128", ""},
     "自动检测设置"},
};

TEST(RecordedPac, EachShapeIsRecordedBeforeTheChangeAndPutBackExactly) {
  for (const PacShape& shape : kPacShapes) {
    SCOPED_TRACE(shape.name);
    LogCapture log;
    RecordedSystem system;
    system.options.settings = shape.settings;
    ASSERT_TRUE(system.setPac("https://example.test/app/route.pac"));
    EXPECT_TRUE(system.network.pacApplied());
    EXPECT_EQ(system.options.settings.flags, kProxyTypeAutoProxyUrl);
    ASSERT_TRUE(system.journal.decoded());
    EXPECT_EQ(system.journal.decoded()->proxy, shape.settings);

    log.clear();
    ASSERT_TRUE(system.resetPac());
    EXPECT_EQ(system.options.settings, shape.settings);
    EXPECT_THAT(log.lines(), ElementsAre("成功重置系统PAC设置",
                                         std::string("系统代理已恢复为: ") + shape.restoredTo));
    EXPECT_THAT(system.timeline, ElementsAre("journal write", "apply", "apply", "journal remove"));
    // Put back once more (the UI's "resetSystemPAC" leaves the flag set), it is the same again.
    ASSERT_TRUE(system.resetPac());
    EXPECT_EQ(system.options.settings, shape.settings);
    EXPECT_EQ(system.journal.writes, 1);
  }
}

TEST(RecordedPac, TheFirstChangeIsRecordedOnceAndAFailedChangeLeavesNoRecord) {
  RecordedSystem system;
  system.options.settings = kPacShapes[1].settings;
  ASSERT_TRUE(system.setPac("https://example.test/app/route.pac"));
  ASSERT_TRUE(system.setPac("https://example.test/app/macos.pac"));
  EXPECT_EQ(system.options.queries, 1);
  ASSERT_TRUE(system.resetPac());
  EXPECT_EQ(system.options.settings, kPacShapes[1].settings);

  // Settings that cannot be read are not changed; a change the system refuses is not recorded.
  LogCapture log;
  system.options.failQueries = true;
  EXPECT_FALSE(system.setPac("https://example.test/app/route.pac"));
  EXPECT_THAT(log.lines(), ElementsAre("读取系统代理设置失败: 5"));
  system.options.failQueries = false;
  system.options.failApplies = true;
  EXPECT_FALSE(system.setPac("https://example.test/app/route.pac"));
  EXPECT_EQ(system.record().outstandingProxy(kLanConnection), nullptr);
  EXPECT_FALSE(system.journal.contents);
  EXPECT_EQ(system.options.applied.size(), 4u);
}

TEST(RecordedPac, AutomaticDetectionIsRecordedAsTheDialogShowsItSoTheRestoreKeepsItOn) {
  // After a detection that found nothing, the flags option reports automatic detection off;
  // the dialog's option still has it. Before Windows 7 only the flags option is answered.
  struct Row {
    const char* name;
    bool refuseFlagsUi;
    std::vector<std::uint32_t> queried;
  };
  const Row rows[] = {{"dialog's flags answered", false, {kOptionFlagsUi}},
                      {"dialog's flags refused", true, {kOptionFlagsUi, kOptionFlags}}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    RecordedSystem system;
    system.options.settings = {kProxyTypeDirect, "", "", ""};
    system.options.flagsUi = kProxyTypeDirect | kProxyTypeAutoDetect;
    system.options.refuseFlagsUi = row.refuseFlagsUi;
    ASSERT_TRUE(system.setPac("https://example.test/app/route.pac"));
    EXPECT_EQ(system.options.queriedFlags, row.queried);
    ASSERT_TRUE(system.resetPac());
    const std::uint32_t expected =
        row.refuseFlagsUi ? kProxyTypeDirect : kProxyTypeDirect | kProxyTypeAutoDetect;
    EXPECT_EQ(system.options.settings.flags, expected);
    // Put back through the flags option whichever option recorded it.
    EXPECT_EQ(system.options.applied.back().back(), (ConnectionOption{kOptionFlags, "", expected}));
  }
}

const ProxySettings kPppoeProxy{kProxyTypeDirect | kProxyTypeProxy, "", "10.1.1.1:8080", ""};

TEST(DialUpConnections, EachEntryIsRecordedSetAndPutBackWithOneLineEach) {
  LogCapture log;
  RecordedSystem system;
  system.entries.names = {"Broadband PPPoE", "Office VPN"};
  system.options.connections["Broadband PPPoE"] = kPppoeProxy;
  const std::string url = "https://example.test/app/route.pac";
  ASSERT_TRUE(system.setPac(url));
  EXPECT_THAT(system.timeline, ElementsAre("journal write", "journal write", "journal write",
                                           "apply", "apply Broadband PPPoE", "apply Office VPN"));
  for (const char* name : {"Broadband PPPoE", "Office VPN"}) {
    EXPECT_EQ(system.options.connections[name].flags, kProxyTypeAutoProxyUrl);
    EXPECT_EQ(system.options.connections[name].autoConfigUrl, url);
  }
  ASSERT_TRUE(system.journal.decoded());
  EXPECT_EQ(system.journal.decoded()->connections,
            (std::vector<ConnectionProxySettings>{{"Broadband PPPoE", kPppoeProxy},
                                                  {"Office VPN", ProxySettings{}}}));
  EXPECT_THAT(log.lines(), ElementsAre("成功设置系统PAC为: " + url,
                                       "成功为拨号连接 Broadband PPPoE 设置PAC为: " + url,
                                       "成功为拨号连接 Office VPN 设置PAC为: " + url));

  log.clear();
  ASSERT_TRUE(system.resetPac());
  EXPECT_EQ(system.options.connections["Broadband PPPoE"], kPppoeProxy);
  EXPECT_EQ(system.options.connections["Office VPN"], ProxySettings{});
  EXPECT_THAT(log.lines(),
              ElementsAre("成功重置系统PAC设置", "系统代理已恢复为: 直接连接",
                          "拨号连接 Broadband PPPoE 的代理已恢复为: 代理服务器 10.1.1.1:8080",
                          "拨号连接 Office VPN 的代理已恢复为: 直接连接"));
  EXPECT_FALSE(system.journal.contents);
}

TEST(DialUpConnections, AnEntryThatCannotBeReadOrChangedKeepsItsOwnSettings) {
  LogCapture log;
  RecordedSystem system;
  system.entries.names = {"Broadband PPPoE", "Office VPN"};
  system.options.failConnections = {"Office VPN"};
  system.options.failCode = 87;
  ASSERT_TRUE(system.setPac("https://example.test/app/route.pac"));
  EXPECT_TRUE(log.contains("读取拨号连接 Office VPN 的代理设置失败: 87"));
  EXPECT_EQ(system.options.appliedTo, (std::vector<std::string>{"", "Broadband PPPoE"}));
  // A list that cannot be read leaves the entries alone; the LAN connection is still changed.
  RecordedSystem unlisted;
  unlisted.entries.failCode = 5;
  ASSERT_TRUE(unlisted.setPac("https://example.test/app/route.pac"));
  EXPECT_TRUE(log.contains("无法列出拨号连接: 5"));
  EXPECT_EQ(unlisted.options.appliedTo, std::vector<std::string>{""});
}

}  // namespace
}  // namespace quillon
