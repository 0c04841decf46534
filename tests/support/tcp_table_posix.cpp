#include <arpa/inet.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "tcp_table.h"

namespace quillon::testing {

bool loopbackConnectionListed(uint16_t localPort, uint16_t remotePort) {
  // One line per socket: "sl: local rem st ...", each address the raw 32-bit value in hex
  // (so in memory order) and each port in hex.
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);  // the column titles
  while (std::getline(table, line)) {
    unsigned localAddress = 0, local = 0, remoteAddress = 0, remote = 0;
    if (std::sscanf(line.c_str(), " %*u: %8X:%4X %8X:%4X", &localAddress, &local, &remoteAddress,
                    &remote) != 4) {
      continue;
    }
    if (localAddress == htonl(INADDR_LOOPBACK) && remoteAddress == htonl(INADDR_LOOPBACK) &&
        local == localPort && remote == remotePort) {
      return true;
    }
  }
  return false;
}

}  // namespace quillon::testing
