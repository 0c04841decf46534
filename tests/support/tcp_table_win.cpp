// Winsock's header must come before the IP helper's.
#include <winsock2.h>

#include <iphlpapi.h>

#include <vector>

#include "tcp_table.h"

namespace quillon::testing {

bool loopbackConnectionListed(uint16_t localPort, uint16_t remotePort) {
  std::vector<char> buffer(sizeof(MIB_TCPTABLE));
  ULONG size = static_cast<ULONG>(buffer.size());
  DWORD result = ERROR_INSUFFICIENT_BUFFER;
  // The table may grow between the two calls; ask again with the size it reports.
  for (int attempt = 0; attempt < 4 && result == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
    buffer.resize(size);
    result = ::GetTcpTable(reinterpret_cast<MIB_TCPTABLE*>(buffer.data()), &size, FALSE);
  }
  if (result != NO_ERROR) return false;
  const auto* table = reinterpret_cast<const MIB_TCPTABLE*>(buffer.data());
  for (DWORD i = 0; i < table->dwNumEntries; ++i) {
    const MIB_TCPROW& row = table->table[i];
    // Addresses and ports are in network order, the ports in the low 16 bits.
    if (row.dwLocalAddr == htonl(INADDR_LOOPBACK) && row.dwRemoteAddr == htonl(INADDR_LOOPBACK) &&
        ntohs(static_cast<u_short>(row.dwLocalPort)) == localPort &&
        ntohs(static_cast<u_short>(row.dwRemotePort)) == remotePort) {
      return true;
    }
  }
  return false;
}

}  // namespace quillon::testing
