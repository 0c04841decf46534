#include "system/system_dns.h"

namespace quillon {

CommandLine setDnsCommand(const std::string& adapterName, const std::string& server) {
  return "netsh interface ip set dns \"" + adapterName + "\" static " + server + " primary";
}

CommandLine resetDnsCommand(const std::string& adapterName) {
  return "netsh interface ip set dns \"" + adapterName + "\" dhcp";
}

std::vector<CommandLine> restoreDnsCommands(const std::string& adapterName,
                                            const std::vector<std::string>& servers) {
  if (servers.empty()) return {resetDnsCommand(adapterName)};
  // "set ... static" replaces the whole list with its one server; each "add" appends the next
  // at the given position, so the order is the recorded one.
  std::vector<CommandLine> commands = {setDnsCommand(adapterName, servers.front())};
  for (std::size_t i = 1; i < servers.size(); ++i) {
    commands.push_back("netsh interface ip add dns \"" + adapterName + "\" " + servers[i] +
                       " index=" + std::to_string(i + 1));
  }
  return commands;
}

bool adapterNameSafeForCommand(const NetworkAdapter& adapter) {
  if (!adapter.friendlyNameExact) return false;
  for (const char c : adapter.friendlyName) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) return false;
    switch (c) {
      // cmd.exe ends the quoted name, expands variables, or starts another command on these.
      case '"':
      case '%':
      case '!':
      case '^':
      case '&':
      case '|':
      case '<':
      case '>':
        return false;
      default:
        break;
    }
  }
  return true;
}

}  // namespace quillon
