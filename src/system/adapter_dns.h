// The IPv4 DNS servers an adapter has of its own: fixed servers in order, or none when its DNS
// comes from DHCP. A replaceable reader, so that what is recorded before a change can be tested
// with made-up adapters.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "system/command_runner.h"
#include "system/network_adapters.h"

namespace quillon {

// At most this many fixed servers are read and recorded per adapter.
inline constexpr std::size_t kMaxDnsServers = 16;

// One adapter's DNS setting as recorded before this process changed it.
struct AdapterDnsSettings {
  std::string adapterName;           // the friendly name, as the commands take it
  unsigned long interfaceType = 0;   // kIfTypeEthernet or kIfTypeWireless
  std::vector<std::string> servers;  // the fixed servers in order; empty: DHCP
  bool operator==(const AdapterDnsSettings&) const = default;
};

class AdapterDnsReader {
 public:
  virtual ~AdapterDnsReader() = default;
  // Reads `adapter`'s fixed IPv4 DNS servers, in order, into `servers` (left empty when its DNS
  // comes from DHCP). False with the platform's error code when the setting cannot be read, or
  // holds anything but up to kMaxDnsServers dotted-quad addresses. Writes no log line.
  virtual bool readDnsServers(const NetworkAdapter& adapter, std::vector<std::string>* servers,
                              unsigned long* errorCode) = 0;
};

// Windows: the adapter's "NameServer" value under
// HKLM\SYSTEM\CurrentControlSet\Services\Tcpip\Parameters\Interfaces\<adapter id>; missing or
// empty means DHCP. Elsewhere: the link's own servers as `resolvectl dns NAME` reports them.
std::unique_ptr<AdapterDnsReader> makeSystemAdapterDnsReader();

// Splits a server list written with commas and/or white space ("1.1.1.1,8.8.8.8", "1.1.1.1
// 8.8.8.8") into `servers`. False when an entry is not a dotted-quad address or there are more
// than kMaxDnsServers; an empty text gives no servers.
bool parseDnsServerList(const std::string& text, std::vector<std::string>* servers);

#ifndef _WIN32
// The resolvectl reader with the program runs of `read` (tests pass canned output).
std::unique_ptr<AdapterDnsReader> makeResolvectlDnsReader(CommandOutputReader read);
#endif

}  // namespace quillon
