// The IPv4 DNS server of the machine's physical adapters (wired and wireless): set to one
// server, and put back on DHCP-assigned DNS. Virtual adapters are never changed.
#pragma once

#include <string>

#include "system/command_runner.h"
#include "system/network_adapters.h"

namespace quillon {

// The value `dnsChangeMarker` holds while this process may have changed adapter DNS settings.
inline constexpr char kDnsChangedMarker[] = "changed";

// True for exactly four decimal numbers from 0 to 255 joined by dots, with no sign, no
// spaces and no leading zeros ("010" could be read as octal). Nothing else is accepted.
bool isDottedQuadIpv4(const std::string& text);

// Sets `server` as the static primary DNS server of every up, addressed, non-virtual wired or
// wireless adapter, one command per adapter. `dnsChangeMarker` is the application state's
// marker: set to "changed" once the adapter list was read, whatever happens per adapter.
// Returns true when at least one adapter's command succeeded. A server text that is not a
// dotted-quad address is refused with a failure line before the adapters are read (marker
// untouched, false). Adapter names that cannot be passed safely are refused per adapter.
// UI thread only; blocks while each command runs.
bool setSystemDns(std::string& dnsChangeMarker, const std::string& server,
                  AdapterListSource& adapters, CommandRunner& runner);

// Returns true at once, logging nothing, when `dnsChangeMarker` is empty. Otherwise puts every
// up, addressed, non-virtual wired or wireless adapter back on DHCP-assigned DNS, empties the
// marker once the list was read, and returns true when at least one command succeeded.
bool resetSystemDns(std::string& dnsChangeMarker, AdapterListSource& adapters,
                    CommandRunner& runner);

// The per-adapter commands and the name check, one implementation per platform.
// Windows: `netsh interface ip set dns "NAME" static SERVER primary` and `... "NAME" dhcp`.
// Elsewhere: resolvectl dns NAME SERVER and resolvectl revert NAME.
CommandLine setDnsCommand(const std::string& adapterName, const std::string& server);
CommandLine resetDnsCommand(const std::string& adapterName);
// False for an adapter whose name must not reach the command: on Windows a name converted
// inexactly or holding '"', '%', '!', '^', '&', '|', '<', '>' or a control byte (cmd.exe
// would interpret them); elsewhere an empty name, one starting with '-' (it would be read as
// an option) or holding a control byte.
bool adapterNameSafeForCommand(const NetworkAdapter& adapter);

}  // namespace quillon
