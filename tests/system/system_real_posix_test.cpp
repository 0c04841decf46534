// The real command runner with harmless commands, the real adapter list, read only, and the
// journal file in a scratch folder. Nothing here changes the machine's proxy or DNS settings.
#include <sys/stat.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <thread>

#include "log_capture.h"
#include "system/command_runner.h"
#include "system/desktop_account.h"
#include "system/journal_storage.h"
#include "system/network_adapters.h"
#include "temp_dir.h"

namespace quillon {
namespace {

using testing::LogCapture;
using testing::TempDir;

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

TEST(RealCommandRunner, ReadsWhatACommandWrites) {
  std::string output;
  EXPECT_TRUE(readCommandOutput({"printf", "Link 2 (eth0): %s\\n", "1.1.1.1"}, &output));
  EXPECT_EQ(output, "Link 2 (eth0): 1.1.1.1\n");
  EXPECT_FALSE(readCommandOutput({"sh", "-c", "echo partial; exit 4"}, &output));
  // Output beyond the bound is read and dropped, so the program still ends.
  EXPECT_TRUE(readCommandOutput({"head", "-c", "200000", "/dev/zero"}, &output));
  EXPECT_EQ(output.size(), 64u * 1024u);
}

// True once process `pid` has ended: gone, or a zombie waiting for whoever adopted it.
bool processEnded(const std::string& pid) {
  std::ifstream stat("/proc/" + pid + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  const std::size_t close = text.rfind(')');
  return close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z';
}

TEST(RealCommandRunner, AHungCommandIsEndedWithWhatItStartedAndFailsWithALine) {
  LogCapture log;
  TempDir dir;
  const std::string pidFile = dir.path() + "/sleeper.pid";
  // The shell starts the sleeper as a child of its own, as cmd.exe starts netsh.
  const CommandLine command = {"sh", "-c", "sleep 30 & echo $! > \"$0\"; wait", pidFile};
  auto runner = makeSystemCommandRunner(std::chrono::milliseconds(300));
  const auto begin = std::chrono::steady_clock::now();
  EXPECT_FALSE(runner->runCommand(command));
  EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
  EXPECT_THAT(log.lines(),
              ::testing::ElementsAre("命令在 300 毫秒内未结束，已终止: sh -c sleep 30 & "
                                     "echo $! > \"$0\"; wait " +
                                     pidFile));
  std::string pid;
  ASSERT_TRUE(std::getline(std::ifstream(pidFile), pid));
  const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (!processEnded(pid) && std::chrono::steady_clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_TRUE(processEnded(pid)) << pid;

  // A reader whose program keeps its output open is bounded the same way.
  std::string output;
  EXPECT_FALSE(readCommandOutput({"sh", "-c", "echo started; exec sleep 30"}, &output,
                                 std::chrono::milliseconds(300)));
  EXPECT_EQ(output, "started\n");
}

// Sets an environment variable for the life of the object, then puts the old value back.
class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedVariable() {
    if (old_) {
      setenv(name_, old_->c_str(), 1);
    } else {
      unsetenv(name_);
    }
  }

 private:
  const char* name_;
  std::optional<std::string> old_;
};

TEST(RealAccounts, TheDesktopIsTheUserWhoAskedForTheRights) {
  LogCapture log;
  auto accounts = makeSystemAccountSource();
  {
    const ScopedVariable pkexec("PKEXEC_UID", nullptr);
    const ScopedVariable sudo("SUDO_UID", nullptr);
    EXPECT_FALSE(warnIfDesktopBelongsToAnotherAccount(*accounts));
  }
  const std::string other = std::to_string(geteuid() + 1);
  const ScopedVariable pkexec("PKEXEC_UID", other.c_str());
  EXPECT_TRUE(warnIfDesktopBelongsToAnotherAccount(*accounts));
  EXPECT_TRUE(log.containsPrefix("警告: 本程序以账户 ")) << log.text();
}

TEST(RealJournalStorage, OnlyItsOwnerMayEnterTheFolderOrReadTheFile) {
  TempDir dir;
  const std::string folder = dir.path() + "/quillon";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);  // made too open beforehand
  auto storage = makeJournalStorageIn(folder);
  unsigned long code = 0;
  ASSERT_TRUE(storage->write("x\n", &code)) << code;
  struct stat info {};
  ASSERT_EQ(stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((folder + "/network-settings.journal").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  // A folder that is a link to somewhere else is not used.
  const std::string link = dir.path() + "/linked";
  ASSERT_EQ(symlink(folder.c_str(), link.c_str()), 0);
  EXPECT_FALSE(makeJournalStorageIn(link)->write("x\n", &code));
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
