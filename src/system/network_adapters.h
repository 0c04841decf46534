// The machine's IPv4 network adapters as the DNS setting sees them: a replaceable source, so
// that the adapter selection can be tested with made-up lists.
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace quillon {

// Interface types (IANA ifType numbering) that count as physical adapters.
inline constexpr unsigned long kIfTypeEthernet = 6;
inline constexpr unsigned long kIfTypeWireless = 71;

struct NetworkAdapter {
  // Texts as logged and passed to commands: the system ANSI code page on Windows, the
  // kernel's bytes elsewhere. The description is empty when the adapter has none.
  std::string friendlyName;
  std::string description;
  // Windows: the adapter's GUID name ("{...}"), which names its TCP/IP settings in the
  // registry. Empty elsewhere.
  std::string adapterId;
  unsigned long interfaceType = 0;
  bool up = false;  // operational status is up
  bool hasUnicastAddress = false;
  // False when the friendly name had characters without an exact equivalent in the code page
  // (the converted text holds the default character in their place).
  bool friendlyNameExact = true;
};

enum class AdapterListStatus { kOk, kOutOfMemory, kFailed };

struct AdapterList {
  AdapterListStatus status = AdapterListStatus::kFailed;
  unsigned long errorCode = 0;           // the platform's result code when status is kFailed
  std::vector<NetworkAdapter> adapters;  // in the system's order
};

class AdapterListSource {
 public:
  virtual ~AdapterListSource() = default;
  // Reads the current IPv4 adapter list. Writes no log line; the caller reports failures.
  virtual AdapterList listAdapters() = 0;
};

// Windows: GetAdaptersAddresses(AF_INET), asked once for the size and once for the list.
// Elsewhere: getifaddrs plus the interface's folder under /sys/class/net.
std::unique_ptr<AdapterListSource> makeSystemAdapterListSource();

#ifndef _WIN32
// Describes interface `name` from a tree laid out like /sys/class/net (`classNetDir`):
// Ethernet (ARPHRD 1) is type 6, or 71 with a "wireless" or "phy80211" entry; up when
// "operstate" reads "up"; the description is the driver's name, or "Virtual network device"
// for a kernel-made interface without a device. The address field is left false.
NetworkAdapter describeInterface(const std::string& classNetDir, const std::string& name);
#endif

}  // namespace quillon
