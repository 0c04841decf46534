// The journal's text: the proxy and adapter DNS settings this process changed and has not put
// back yet, as they were before the change. It is read back after a crash by a process that
// runs elevated, so decoding checks every value as strictly as a value from the UI.
//
//   quillon network journal 2
//   proxy-flags 5
//   proxy-url https://wpad.example/proxy.pac
//   proxy-server 10.0.0.1:3128
//   proxy-bypass <local>;*.example
//   connection Broadband PPPoE
//   proxy-flags 9
//   proxy-url
//   proxy-server
//   proxy-bypass
//   dns 6 dhcp Ethernet
//   dns 71 192.168.1.1,8.8.8.8 Wi-Fi 2
//
// The four proxy lines of a connection come together or not at all: first the LAN
// connection's, then each dial-up, PPPoE or VPN connection's after its "connection" line. A
// "dns" line holds the interface type, the fixed servers in order (or "dhcp") and the adapter
// name. Texts run to the end of their line; '%', control bytes and DEL are written as %XX.
// Lines end in LF. A journal of the header alone holds nothing to put back: it is what is left
// where a journal could not be deleted. Version 1 journals (without connections) are read too.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "system/adapter_dns.h"
#include "system/system_proxy.h"

namespace quillon {

// The error code reported when a setting cannot be read or kept exactly (ERROR_INVALID_DATA).
inline constexpr unsigned long kInvalidDataCode = 13;

// Bounds of a journal: its whole size, each proxy text, the number of adapters.
inline constexpr std::size_t kMaxJournalBytes = 128 * 1024;
inline constexpr std::size_t kMaxJournalTextBytes = 16 * 1024;
inline constexpr std::size_t kMaxJournalAdapters = 64;
inline constexpr std::size_t kMaxJournalConnections = 64;

// What the journal holds.
struct RecordedSettings {
  std::optional<ProxySettings> proxy;                // the LAN connection's
  std::vector<ConnectionProxySettings> connections;  // dial-up ones, in the order recorded
  std::vector<AdapterDnsSettings> adapters;          // in the order they were recorded
  bool empty() const { return !proxy && connections.empty() && adapters.empty(); }
  bool operator==(const RecordedSettings&) const = default;
};

std::string encodeJournal(const RecordedSettings& settings);

// Parses and checks a journal's text: the header, known lines only, flags within the known
// proxy types, texts within kMaxJournalTextBytes and valid UTF-8, connection names non-empty
// UTF-8, interface type 6 or 71, dotted-quad servers (at most kMaxDnsServers), adapter names
// that pass the command-line rules (adapterNameSafeForCommand), no connection or adapter twice.
// True with `settings` filled (empty for a journal of the header alone); otherwise false with
// the reason in `problem` (for a log line).
bool decodeJournal(const std::string& text, RecordedSettings* settings, std::string* problem);

// True when `settings` pass the checks decodeJournal() applies, so that recording them gives a
// journal that can be read back.
bool journalCanHold(const ProxySettings& settings);

}  // namespace quillon
