#include "system/adapter_dns.h"

#include <windows.h>

#include "system/network_journal.h"

namespace quillon {
namespace {

constexpr wchar_t kInterfacesKey[] =
    L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\";

// The adapter id becomes part of a registry path: only a GUID name ("{hex-hex-...}") may.
bool isGuidName(const std::string& id) {
  if (id.size() < 3 || id.size() > 64 || id.front() != '{' || id.back() != '}') return false;
  for (std::size_t i = 1; i + 1 < id.size(); ++i) {
    const char c = id[i];
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!hex && c != '-') return false;
  }
  return true;
}

// Windows keeps an adapter's fixed DNS servers in its "NameServer" value, comma separated (space
// separated on older systems); with DHCP-assigned DNS the value is empty or absent.
class RegistryDnsReader final : public AdapterDnsReader {
 public:
  bool readDnsServers(const NetworkAdapter& adapter, std::vector<std::string>* servers,
                      unsigned long* errorCode) override {
    servers->clear();
    if (!isGuidName(adapter.adapterId)) {
      *errorCode = ERROR_INVALID_NAME;
      return false;
    }
    const std::wstring key =
        kInterfacesKey + std::wstring(adapter.adapterId.begin(), adapter.adapterId.end());
    // Room for far more than kMaxDnsServers addresses; a longer value is refused.
    wchar_t value[1024] = {};
    DWORD size = sizeof(value);
    const LSTATUS status = RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), L"NameServer",
                                        RRF_RT_REG_SZ, nullptr, value, &size);
    if (status == ERROR_FILE_NOT_FOUND) return true;  // no key or no value: DHCP
    if (status != ERROR_SUCCESS) {
      *errorCode = static_cast<unsigned long>(status);
      return false;
    }
    std::string text;
    for (const wchar_t* c = value; *c != L'\0'; ++c) {
      if (*c > 0x7F) {
        *errorCode = kInvalidDataCode;
        return false;
      }
      text += static_cast<char>(*c);
    }
    if (!parseDnsServerList(text, servers)) {
      *errorCode = kInvalidDataCode;
      return false;
    }
    return true;
  }
};

}  // namespace

std::unique_ptr<AdapterDnsReader> makeSystemAdapterDnsReader() {
  return std::make_unique<RegistryDnsReader>();
}

}  // namespace quillon
