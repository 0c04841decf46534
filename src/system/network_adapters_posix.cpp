#include "system/network_adapters.h"

#include <ifaddrs.h>
#include <net/if_arp.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

namespace quillon {
namespace {

constexpr char kClassNetDir[] = "/sys/class/net";

// IANA interface types for the kinds the kernel reports (ARPHRD numbers).
constexpr unsigned long kIfTypeOther = 1;
constexpr unsigned long kIfTypePpp = 23;
constexpr unsigned long kIfTypeSoftwareLoopback = 24;
constexpr unsigned long kIfTypeTunnel = 131;

bool exists(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0;
}

std::string firstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

unsigned long interfaceTypeOf(const std::string& dir) {
  const std::string text = firstLine(dir + "/type");
  char* end = nullptr;
  const unsigned long arphrd = std::strtoul(text.c_str(), &end, 10);
  if (text.empty() || end == text.c_str()) return kIfTypeOther;
  switch (arphrd) {
    case ARPHRD_ETHER:
      return exists(dir + "/wireless") || exists(dir + "/phy80211") ? kIfTypeWireless
                                                                    : kIfTypeEthernet;
    case ARPHRD_IEEE80211:
    case ARPHRD_IEEE80211_PRISM:
    case ARPHRD_IEEE80211_RADIOTAP:
      return kIfTypeWireless;
    case ARPHRD_LOOPBACK:
      return kIfTypeSoftwareLoopback;
    case ARPHRD_PPP:
      return kIfTypePpp;
    case ARPHRD_TUNNEL:
    case ARPHRD_TUNNEL6:
    case ARPHRD_SIT:
    case ARPHRD_IPGRE:
      return kIfTypeTunnel;
    default:
      return kIfTypeOther;
  }
}

// The last part of a symbolic link's target ("e1000e" for .../drivers/e1000e), or "".
std::string linkBaseName(const std::string& path) {
  char target[PATH_MAX];
  const ssize_t length = readlink(path.c_str(), target, sizeof(target) - 1);
  if (length <= 0) return {};
  const std::string text(target, static_cast<std::size_t>(length));
  const std::size_t slash = text.find_last_of('/');
  return slash == std::string::npos ? text : text.substr(slash + 1);
}

class IfaddrsAdapterSource final : public AdapterListSource {
 public:
  AdapterList listAdapters() override {
    AdapterList list;
    ifaddrs* head = nullptr;
    if (getifaddrs(&head) != 0) {
      list.status = errno == ENOMEM ? AdapterListStatus::kOutOfMemory : AdapterListStatus::kFailed;
      list.errorCode = static_cast<unsigned long>(errno);
      return list;
    }
    // getifaddrs lists an interface once per address; keep one adapter per name, in the
    // order of first appearance, and note whether any of its addresses is IPv4.
    std::vector<std::string> names;
    std::vector<bool> hasIpv4;
    for (const ifaddrs* entry = head; entry != nullptr; entry = entry->ifa_next) {
      if (entry->ifa_name == nullptr) continue;
      const std::string name = entry->ifa_name;
      auto found = std::find(names.begin(), names.end(), name);
      const std::size_t index = static_cast<std::size_t>(found - names.begin());
      if (found == names.end()) {
        names.push_back(name);
        hasIpv4.push_back(false);
      }
      if (entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET) {
        hasIpv4[index] = true;
      }
    }
    freeifaddrs(head);
    for (std::size_t i = 0; i < names.size(); ++i) {
      NetworkAdapter adapter = describeInterface(kClassNetDir, names[i]);
      adapter.hasUnicastAddress = hasIpv4[i];
      list.adapters.push_back(std::move(adapter));
    }
    list.status = AdapterListStatus::kOk;
    return list;
  }
};

}  // namespace

NetworkAdapter describeInterface(const std::string& classNetDir, const std::string& name) {
  const std::string dir = classNetDir + "/" + name;
  NetworkAdapter adapter;
  adapter.friendlyName = name;
  adapter.interfaceType = interfaceTypeOf(dir);
  adapter.up = firstLine(dir + "/operstate") == "up";
  adapter.description = linkBaseName(dir + "/device/driver");
  // Interfaces the kernel makes on its own (bridges, veth pairs, tun/tap, container networks)
  // have no device behind them. Naming them virtual lets the keyword test skip them, as the
  // drivers' descriptions do for virtual adapters on Windows.
  if (adapter.description.empty() && !exists(dir + "/device")) {
    adapter.description = "Virtual network device";
  }
  return adapter;
}

std::unique_ptr<AdapterListSource> makeSystemAdapterListSource() {
  return std::make_unique<IfaddrsAdapterSource>();
}

}  // namespace quillon
