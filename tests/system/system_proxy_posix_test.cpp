#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "system/system_proxy.h"
#include "system_fakes.h"

namespace quillon {
namespace {

using ::testing::ElementsAre;
using testing::FakeCommandRunner;
using testing::LogCapture;

TEST(GnomeProxySettings, ExactArgumentListsForSetAndReset) {
  LogCapture log;
  FakeCommandRunner runner;
  auto setter = makeSystemInternetOptionSetter(runner);
  bool pacApplied = false;
  ASSERT_TRUE(setSystemPac(pacApplied, "https://example.test/app/route.pac", *setter));
  ASSERT_TRUE(setSystemPac(pacApplied, "https://example.test/it's\\odd.pac", *setter));
  ASSERT_TRUE(resetSystemPac(*setter));
  using Args = std::vector<std::string>;
  const Args prefix = {"gsettings", "set", "org.gnome.system.proxy"};
  auto with = [&](const char* key, const std::string& value) {
    Args args = prefix;
    args.push_back(key);
    args.push_back(value);
    return args;
  };
  EXPECT_THAT(runner.commands,
              ElementsAre(with("autoconfig-url", "'https://example.test/app/route.pac'"),
                          with("mode", "'auto'"),
                          with("autoconfig-url", "'https://example.test/it\\'s\\\\odd.pac'"),
                          with("mode", "'auto'"), with("mode", "'none'")));
}

TEST(GnomeProxySettings, AFailedToolStopsTheListAndIsReported) {
  FakeCommandRunner runner;
  runner.succeed = false;
  auto setter = makeSystemInternetOptionSetter(runner);
  unsigned long code = 0;
  EXPECT_FALSE(setter->applyToDefaultConnection({{kOptionAutoConfigUrl, "https://x.test/a.pac", 0},
                                                 {kOptionFlags, "", kProxyTypeAutoProxyUrl}},
                                                &code));
  EXPECT_NE(code, 0u);
  EXPECT_EQ(runner.commands.size(), 1u);
}

}  // namespace
}  // namespace quillon
