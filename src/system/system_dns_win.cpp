#include "system/system_dns.h"

namespace quillon {

CommandLine setDnsCommand(const std::string& adapterName, const std::string& server) {
  return "netsh interface ip set dns \"" + adapterName + "\" static " + server + " primary";
}

CommandLine resetDnsCommand(const std::string& adapterName) {
  return "netsh interface ip set dns \"" + adapterName + "\" dhcp";
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
