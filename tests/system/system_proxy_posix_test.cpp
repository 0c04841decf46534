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
  ASSERT_TRUE(setSystemPac("https://example.test/app/route.pac", *setter));
  ASSERT_TRUE(setSystemPac("https://example.test/it's\\odd.pac", *setter));
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

TEST(GnomeProxySettings, RecordedSettingsGoBackAsModeAndUrlOnly) {
  FakeCommandRunner runner;
  auto setter = makeSystemInternetOptionSetter(runner);
  ASSERT_TRUE(restoreSystemPac({3, "", "10.0.0.1:3128", "localhost"}, *setter));
  ASSERT_TRUE(restoreSystemPac({9, "", "", ""}, *setter));
  EXPECT_THAT(
      runner.commands,
      ElementsAre(ElementsAre("gsettings", "set", "org.gnome.system.proxy", "autoconfig-url", "''"),
                  ElementsAre("gsettings", "set", "org.gnome.system.proxy", "mode", "'manual'"),
                  ElementsAre("gsettings", "set", "org.gnome.system.proxy", "autoconfig-url", "''"),
                  ElementsAre("gsettings", "set", "org.gnome.system.proxy", "mode", "'auto'")));
}

TEST(GnomeProxySettings, ModeAndUrlAreReadAsFlagsAndUrl) {
  struct Row {
    const char* mode;
    const char* url;
    bool read;
    ProxySettings settings;
  };
  const Row rows[] = {
      {"'none'\n", "''\n", true, {1, "", "", ""}},
      {"'manual'\n", "''\n", true, {3, "", "", ""}},
      {"'auto'\n", "'http://wpad/x.pac'\n", true, {5, "http://wpad/x.pac", "", ""}},
      {"'auto'\n", "\"it's\"\n", true, {5, "it's", "", ""}},
      {"'auto'\n", "'a\\'b'\n", true, {5, "a'b", "", ""}},
      {"'auto'\n", "''\n", true, {9, "", "", ""}},
      {"'sometimes'\n", "''\n", false, {}},
      {"none\n", "''\n", false, {}},
      {"'auto'\n", "'unterminated\n", false, {}},
  };
  for (const Row& row : rows) {
    auto getter = makeGnomeProxyGetter([&](const CommandLine& command, std::string* output) {
      *output = command.back() == "mode" ? row.mode : row.url;
      return true;
    });
    ProxySettings settings;
    unsigned long code = 0;
    EXPECT_EQ(getter->queryConnection(kLanConnection, kOptionFlagsUi, &settings, &code), row.read)
        << row.mode << row.url;
    if (row.read) {
      EXPECT_EQ(settings, row.settings) << row.mode << row.url;
    }
  }
}

TEST(GnomeProxySettings, AFailedToolStopsTheListAndIsReported) {
  FakeCommandRunner runner;
  runner.failCommands = true;
  auto setter = makeSystemInternetOptionSetter(runner);
  unsigned long code = 0;
  EXPECT_FALSE(setter->applyToConnection(kLanConnection,
                                         {{kOptionAutoConfigUrl, "https://x.test/a.pac", 0},
                                          {kOptionFlags, "", kProxyTypeAutoProxyUrl}},
                                         &code));
  EXPECT_NE(code, 0u);
  EXPECT_EQ(runner.commands.size(), 1u);
}

}  // namespace
}  // namespace quillon
