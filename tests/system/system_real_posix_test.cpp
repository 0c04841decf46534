// The real command runner with harmless commands and the real adapter list, read only.
// Nothing here changes the machine's proxy or DNS settings.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "system/command_runner.h"
#include "system/network_adapters.h"

namespace quillon {
namespace {

using testing::LogCapture;

TEST(RealCommandRunner, SuccessIsExitCodeZeroOnly) {
  LogCapture log;
  auto runner = makeSystemCommandRunner();
  EXPECT_TRUE(runner->runCommand({"true"}));
  EXPECT_FALSE(runner->runCommand({"sh", "-c", "exit 3"}));
  // Arguments reach the program as they are; no shell splits or expands them.
  EXPECT_TRUE(runner->runCommand({"test", "a b; exit 1", "=", "a b; exit 1"}));
  EXPECT_TRUE(log.lines().empty()) << log.text();
}

TEST(RealCommandRunner, AProgramThatCannotBeStartedIsLogged) {
  LogCapture log;
  auto runner = makeSystemCommandRunner();
  EXPECT_FALSE(runner->runCommand({"/nonexistent/quillon-no-such-tool"}));
  EXPECT_FALSE(runner->runCommand({}));
  EXPECT_THAT(log.lines(),
              ::testing::ElementsAre("CreateProcess failed: 2", "CreateProcess failed: 22"));
}

TEST(RealAdapters, ListsTheLoopbackInterfaceWithItsAddress) {
  const AdapterList list = makeSystemAdapterListSource()->listAdapters();
  ASSERT_EQ(list.status, AdapterListStatus::kOk) << list.errorCode;
  bool sawLoopback = false;
  for (const NetworkAdapter& adapter : list.adapters) {
    if (adapter.friendlyName != "lo") continue;
    sawLoopback = true;
    EXPECT_EQ(adapter.interfaceType, 24u);
    EXPECT_TRUE(adapter.hasUnicastAddress);
    EXPECT_EQ(adapter.description, "Virtual network device");
  }
  EXPECT_TRUE(sawLoopback);
}

}  // namespace
}  // namespace quillon
