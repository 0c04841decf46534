#include "system/system_dns.h"

namespace quillon {

CommandLine setDnsCommand(const std::string& adapterName, const std::string& server) {
  return {"resolvectl", "dns", adapterName, server};
}

CommandLine resetDnsCommand(const std::string& adapterName) {
  return {"resolvectl", "revert", adapterName};
}

std::vector<CommandLine> restoreDnsCommands(const std::string& adapterName,
                                            const std::vector<std::string>& servers) {
  if (servers.empty()) return {resetDnsCommand(adapterName)};
  CommandLine command = {"resolvectl", "dns", adapterName};
  command.insert(command.end(), servers.begin(), servers.end());
  return {command};
}

bool adapterNameSafeForCommand(const NetworkAdapter& adapter) {
  const std::string& name = adapter.friendlyName;
  if (!adapter.friendlyNameExact || name.empty() || name.front() == '-') return false;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
  }
  return true;
}

}  // namespace quillon
