#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "log_capture.h"
#include "system/adapter_dns.h"
#include "system/system_dns.h"
#include "system_fakes.h"
#include "temp_dir.h"

namespace quillon {
namespace {

using testing::adapter;
using ::testing::ElementsAre;

TEST(ResolvectlCommands, ExactArgumentLists) {
  EXPECT_THAT(setDnsCommand("enp3s0", "1.1.1.1"),
              ElementsAre("resolvectl", "dns", "enp3s0", "1.1.1.1"));
  EXPECT_THAT(resetDnsCommand("wlp2s0"), ElementsAre("resolvectl", "revert", "wlp2s0"));
  EXPECT_THAT(restoreDnsCommands("wlp2s0", {}), ElementsAre(resetDnsCommand("wlp2s0")));
  EXPECT_THAT(restoreDnsCommands("enp3s0", {"10.0.0.53", "8.8.4.4"}),
              ElementsAre(ElementsAre("resolvectl", "dns", "enp3s0", "10.0.0.53", "8.8.4.4")));
}

TEST(ResolvectlCommands, TheLinkServersAreReadFromResolvectl) {
  struct Row {
    const char* output;
    bool read;
    std::vector<std::string> servers;
  };
  const Row rows[] = {
      {"Link 2 (enp3s0):\n", true, {}},
      {"Link 2 (enp3s0): 192.168.1.1\n", true, {"192.168.1.1"}},
      {"Link 2 (enp3s0): 10.0.0.53 8.8.4.4\n", true, {"10.0.0.53", "8.8.4.4"}},
      {"Link 2 (enp3s0): 10.0.0.53 2001:db8::53\n", false, {}},  // kept whole or not at all
      {"Link 2 (enp3s0): 1.1.1.1#cloudflare-dns.com\n", false, {}},
      {"Link 3 (wlp2s0): 1.1.1.1\n", false, {}},
      {"", false, {}},
  };
  for (const Row& row : rows) {
    std::vector<CommandLine> asked;
    auto reader = makeResolvectlDnsReader([&](const CommandLine& command, std::string* output) {
      asked.push_back(command);
      *output = row.output;
      return true;
    });
    std::vector<std::string> servers;
    unsigned long code = 0;
    EXPECT_EQ(reader->readDnsServers(adapter("enp3s0", "e1000e", kIfTypeEthernet), &servers, &code),
              row.read)
        << row.output;
    EXPECT_EQ(servers, row.servers) << row.output;
    EXPECT_THAT(asked, ElementsAre(ElementsAre("resolvectl", "dns", "enp3s0")));
  }
}

TEST(ResolvectlCommands, NamesAreSeparateArgumentsSoOnlyOptionsAndControlBytesAreUnsafe) {
  const testing::TextVerdict rows[] = {
      {"eth0", true}, {"a\"b", true},    {"%PATH%", true}, {"a&b|c", true}, {"", false},
      {"-h", false},  {"--help", false}, {"a\nb", false},  {"a\tb", false}, {"x\x7f", false}};
  for (const testing::TextVerdict& row : rows) {
    EXPECT_EQ(adapterNameSafeForCommand(adapter(row.text, "", kIfTypeEthernet)), row.accepted)
        << row.text;
  }
}

TEST(ResolvectlCommands, OddNamesTravelAsOneArgumentAndOptionLikeNamesAreRefused) {
  testing::LogCapture log;
  testing::RecordedSystem system;
  system.adapters.setAdapters({adapter("a\"b;$(reboot)", "e1000e", kIfTypeEthernet),
                               adapter("-h", "e1000e", kIfTypeEthernet)});
  EXPECT_TRUE(system.setDns("1.1.1.1"));
  EXPECT_THAT(system.commands.commands,
              ElementsAre(ElementsAre("resolvectl", "dns", "a\"b;$(reboot)", "1.1.1.1")));
  EXPECT_TRUE(log.contains("适配器名称含有不安全的字符，未执行命令: -h"));
}

// A made-up /sys/class/net with one interface of each kind.
class SysClassNet : public ::testing::Test {
 protected:
  void addInterface(const std::string& name, int arphrd, const std::string& operstate,
                    const std::string& driver, bool wireless = false) {
    const std::string dir = root.path() + "/" + name;
    mkdir(dir.c_str(), 0755);
    std::ofstream(dir + "/type") << arphrd << "\n";
    std::ofstream(dir + "/operstate") << operstate << "\n";
    if (!driver.empty() || wireless) mkdir((dir + "/device").c_str(), 0755);
    if (!driver.empty()) {
      ASSERT_EQ(
          symlink(("../../../bus/pci/drivers/" + driver).c_str(), (dir + "/device/driver").c_str()),
          0);
    }
    if (wireless) mkdir((dir + "/phy80211").c_str(), 0755);
  }
  testing::TempDir root;
};

TEST_F(SysClassNet, KindsStatesAndDescriptions) {
  addInterface("enp3s0", 1, "up", "e1000e");
  addInterface("wlp2s0", 1, "dormant", "iwlwifi", /*wireless=*/true);
  addInterface("docker0", 1, "up", "");
  addInterface("lo", 772, "unknown", "");
  addInterface("ppp0", 512, "up", "");

  const NetworkAdapter wired = describeInterface(root.path(), "enp3s0");
  EXPECT_EQ(wired.friendlyName, "enp3s0");
  EXPECT_EQ(wired.description, "e1000e");
  EXPECT_EQ(wired.interfaceType, kIfTypeEthernet);
  EXPECT_TRUE(wired.up);

  const NetworkAdapter wireless = describeInterface(root.path(), "wlp2s0");
  EXPECT_EQ(wireless.interfaceType, kIfTypeWireless);
  EXPECT_EQ(wireless.description, "iwlwifi");
  EXPECT_FALSE(wireless.up);

  // A kernel-made bridge is Ethernet by type but described as virtual, so it is skipped.
  const NetworkAdapter bridge = describeInterface(root.path(), "docker0");
  EXPECT_EQ(bridge.interfaceType, kIfTypeEthernet);
  EXPECT_EQ(bridge.description, "Virtual network device");

  EXPECT_EQ(describeInterface(root.path(), "lo").interfaceType, 24u);
  EXPECT_EQ(describeInterface(root.path(), "ppp0").interfaceType, 23u);
  EXPECT_EQ(describeInterface(root.path(), "missing").interfaceType, 1u);
}

}  // namespace
}  // namespace quillon
