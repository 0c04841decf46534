// Stand-ins for the three parts through which the system settings reach the machine. Each
// records what it was asked, so tests check exactly what would have been applied.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "system/command_runner.h"
#include "system/network_adapters.h"
#include "system/system_proxy.h"

namespace quillon::testing {

class FakeCommandRunner : public CommandRunner {
 public:
  bool runCommand(const CommandLine& command) override {
    commands.push_back(command);
    return succeed;
  }
  std::vector<CommandLine> commands;
  bool succeed = true;
};

class FakeAdapterSource : public AdapterListSource {
 public:
  AdapterList listAdapters() override {
    ++reads;
    return list;
  }
  void setAdapters(std::vector<NetworkAdapter> adapters) {
    list.status = AdapterListStatus::kOk;
    list.adapters = std::move(adapters);
  }
  AdapterList list;
  int reads = 0;
};

class FakeOptionSetter : public InternetOptionSetter {
 public:
  bool applyToDefaultConnection(const std::vector<ConnectionOption>& options,
                                unsigned long* errorCode) override {
    calls.push_back("apply");
    applied.push_back(options);
    if (failWith != 0) *errorCode = failWith;
    return failWith == 0;
  }
  void refresh() override { calls.push_back("refresh"); }

  std::vector<std::string> calls;  // "apply" and "refresh" in call order
  std::vector<std::vector<ConnectionOption>> applied;
  unsigned long failWith = 0;  // non-zero: every apply fails with this code
};

// One row of a table of texts: the input and whether it is accepted.
struct TextVerdict {
  const char* text;
  bool accepted;
};

inline NetworkAdapter adapter(std::string name, std::string description, unsigned long type,
                              bool up = true, bool hasAddress = true) {
  NetworkAdapter a;
  a.friendlyName = std::move(name);
  a.description = std::move(description);
  a.interfaceType = type;
  a.up = up;
  a.hasUnicastAddress = hasAddress;
  return a;
}

}  // namespace quillon::testing
