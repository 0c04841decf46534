// The IPv4 DNS server of the machine's physical adapters (wired and wireless): set to one
// server, and put back to what they had before. Virtual adapters are never changed.
#pragma once

#include <string>
#include <vector>

#include "system/command_runner.h"
#include "system/network_adapters.h"

namespace quillon {

struct SystemBackends;
class NetworkRecord;

// True for exactly four decimal numbers from 0 to 255 joined by dots, with no sign, no
// spaces and no leading zeros ("010" could be read as octal). Nothing else is accepted.
bool isDottedQuadIpv4(const std::string& text);

// What setSystemDns() did: whether the adapter list was read (from then on adapters may have
// been changed, whatever happened to each), and whether at least one adapter took the server.
struct DnsChange {
  bool adaptersRead = false;
  bool anySucceeded = false;
};

// Sets `server` as the static primary DNS server of every up, addressed, non-virtual wired or
// wireless adapter, one command per adapter. Before an adapter is changed, its current setting
// is read and added to `record` (which writes its journal), unless the record still holds one
// for it that was not put back: the first change of a connection is what a reset returns to.
// An adapter whose setting cannot be read is not changed ("读取适配器 ... 的DNS设置失败: " and
// the code). A server text that is not a dotted-quad address is refused with a failure line
// before the adapters are read. Adapter names that cannot be passed safely are refused per
// adapter. UI thread only; blocks while each command runs.
DnsChange setSystemDns(const std::string& server, const SystemBackends& system,
                       NetworkRecord& record);

// Puts back every adapter `record` holds as changed, in the order they were recorded, and no
// other: fixed servers in their order, or DHCP. Each adapter logs "正在重置 " ... " 的DNS设置",
// then "成功重置适配器 " ... " 的DNS设置" and "适配器 " ... " 的DNS已恢复为: " with what it got
// back, or the failure line "重置适配器 " ... " 的DNS设置失败" (it then stays in the record and
// its journal for a later reset). True when every adapter was put back.
bool resetSystemDns(const SystemBackends& system, NetworkRecord& record);

// The per-adapter commands and the name check, one implementation per platform.
// Windows: `netsh interface ip set dns "NAME" static SERVER primary` and `... "NAME" dhcp`.
// Elsewhere: resolvectl dns NAME SERVER and resolvectl revert NAME.
CommandLine setDnsCommand(const std::string& adapterName, const std::string& server);
CommandLine resetDnsCommand(const std::string& adapterName);
// The commands that give an adapter back `servers` in that order, or DHCP when there are none.
// Windows: resetDnsCommand(), or setDnsCommand() with the first server followed by
// `netsh interface ip add dns "NAME" SERVER index=N` for the others (N from 2). Elsewhere:
// resolvectl revert NAME, or one resolvectl dns NAME SERVER... with all of them.
std::vector<CommandLine> restoreDnsCommands(const std::string& adapterName,
                                            const std::vector<std::string>& servers);
// False for an adapter whose name must not reach the command: on Windows a name converted
// inexactly or holding '"', '%', '!', '^', '&', '|', '<', '>' or a control byte (cmd.exe
// would interpret them); elsewhere an empty name, one starting with '-' (it would be read as
// an option) or holding a control byte.
bool adapterNameSafeForCommand(const NetworkAdapter& adapter);

}  // namespace quillon
