#include "system/adapter_dns.h"

#include "system/system_dns.h"

namespace quillon {

bool parseDnsServerList(const std::string& text, std::vector<std::string>* servers) {
  servers->clear();
  std::size_t begin = 0;
  while (begin < text.size()) {
    const std::size_t end = text.find_first_of(", \t\r\n", begin);
    const std::size_t stop = end == std::string::npos ? text.size() : end;
    if (stop > begin) {
      const std::string entry = text.substr(begin, stop - begin);
      if (!isDottedQuadIpv4(entry) || servers->size() == kMaxDnsServers) {
        servers->clear();
        return false;
      }
      servers->push_back(entry);
    }
    begin = stop + 1;
  }
  return true;
}

}  // namespace quillon
