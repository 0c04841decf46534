// Recognising an upstream proxy that is the local proxy's own listener. Forwarding to it would
// send every request back into the proxy, which would forward it again, until the machine runs
// out of descriptors; such a configuration is refused before the proxy starts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace quillon {

// True when `proxyHost`:`proxyPort` is the listener that the proxy opens on `localPort` on
// every IPv4 interface: the ports are equal, and `proxyHost` is or resolves (to the one IPv4
// address the sessions would connect to) to a loopback address (127.0.0.0/8), to 0.0.0.0 or to an address of a
// local interface. Different ports are decided at once; equal ports cost a name lookup, which
// may block. A name that does not resolve is not a loop. Any thread.
bool upstreamIsOwnListener(const std::string& proxyHost, uint16_t proxyPort, uint16_t localPort);

// The IPv4 addresses of this machine's interfaces, in host byte order; empty when they cannot
// be read. One implementation per platform (getifaddrs, GetAdaptersAddresses).
std::vector<uint32_t> localIpv4Addresses();

}  // namespace quillon
