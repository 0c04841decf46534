#include "system/system_proxy.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "system_fakes.h"

namespace quillon {
namespace {

using ::testing::ElementsAre;
using testing::FakeOptionSetter;
using testing::LogCapture;

const ConnectionOption kDirect{kOptionFlags, "", kProxyTypeDirect};

ConnectionOption autoConfig(const std::string& url) { return {kOptionAutoConfigUrl, url, 0}; }
const ConnectionOption kAutoFlags{kOptionFlags, "", kProxyTypeAutoProxyUrl};

TEST(SystemPac, SetAppliesUrlThenAutoFlagAndRefreshes) {
  LogCapture log;
  FakeOptionSetter setter;
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
  FakeOptionSetter setter;
  EXPECT_TRUE(resetSystemPac(setter));
  EXPECT_TRUE(resetSystemPac(setter));
  EXPECT_THAT(setter.applied, ElementsAre(ElementsAre(kDirect), ElementsAre(kDirect)));
  EXPECT_THAT(setter.calls, ElementsAre("apply", "refresh", "apply", "refresh"));
  EXPECT_EQ(log.count("成功重置系统PAC设置"), 2);
}

TEST(SystemPac, RefusedOptionsAreReportedWithTheirCodeAndChangeNothingElse) {
  LogCapture log;
  FakeOptionSetter setter;
  setter.failWith = 87;
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

}  // namespace
}  // namespace quillon
