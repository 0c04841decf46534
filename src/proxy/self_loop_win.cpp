// winsock2.h first: iphlpapi.h needs its types.
#include <winsock2.h>

#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <memory>
#include <new>

#include "proxy/self_loop.h"

namespace quillon {

std::vector<uint32_t> localIpv4Addresses() {
  std::vector<uint32_t> addresses;
  constexpr ULONG kFlags =
      GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
  // The list can grow between the call that gives its size and the one that reads it; the
  // read is tried a few times with the size the system asks for.
  ULONG size = 16 * 1024;
  std::unique_ptr<ULONGLONG[]> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    // ULONGLONG elements keep the records' 8-byte alignment.
    buffer.reset(new (std::nothrow) ULONGLONG[size / sizeof(ULONGLONG) + 1]);
    if (!buffer) return addresses;
    result = GetAdaptersAddresses(AF_INET, kFlags, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
  }
  if (result != NO_ERROR) return addresses;
  for (const IP_ADAPTER_ADDRESSES* adapter =
           reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.get());
       adapter != nullptr; adapter = adapter->Next) {
    for (const IP_ADAPTER_UNICAST_ADDRESS* unicast = adapter->FirstUnicastAddress;
         unicast != nullptr; unicast = unicast->Next) {
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET) continue;
      addresses.push_back(ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr));
    }
  }
  return addresses;
}

}  // namespace quillon
