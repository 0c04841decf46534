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
  bool pacApplied = false;
  ASSERT_TRUE(setSystemPac(pacApplied, "https://example.test/app/route.pac", setter));
  EXPECT_TRUE(pacApplied);
  EXPECT_THAT(setter.calls, ElementsAre("apply", "refresh"));
  EXPECT_THAT(setter.applied, ElementsAre(ElementsAre(
                                  autoConfig("https://example.test/app/route.pac"), kAutoFlags)));
  EXPECT_THAT(log.lines(), ElementsAre("成功设置系统PAC为: https://example.test/app/route.pac"));

  // A second URL replaces the first with the same flag; no direct bit is ever added.
  ASSERT_TRUE(setSystemPac(pacApplied, "https://example.test/app/macos.pac", setter));
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
  bool pacApplied = false;
  EXPECT_FALSE(setSystemPac(pacApplied, "https://example.test/app/route.pac", setter));
  EXPECT_FALSE(pacApplied);
  EXPECT_FALSE(resetSystemPac(setter));
  EXPECT_THAT(setter.calls, ElementsAre("apply", "apply"));  // no refresh after a failure
  EXPECT_THAT(log.lines(), ElementsAre("设置PAC URL失败: 87", "重置代理设置失败: 87"));

  // A failed set leaves an earlier success standing.
  pacApplied = true;
  EXPECT_FALSE(setSystemPac(pacApplied, "https://example.test/other.pac", setter));
  EXPECT_TRUE(pacApplied);
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
    EXPECT_TRUE(system.pacApplied);
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
  EXPECT_FALSE(system.record.proxyOutstanding());
  EXPECT_FALSE(system.journal.contents);
  EXPECT_EQ(system.options.applied.size(), 4u);
}

}  // namespace
}  // namespace quillon
