#include "system/system_dns.h"

#include <array>
#include <cstddef>

#include "app/app_log.h"
#include "app/log_text.h"

namespace quillon {
namespace {

// Texts that mark an adapter as virtual, tested in this order; the first match is reported.
constexpr std::array<const char*, 14> kVirtualAdapterKeywords = {
    "Virtual",   "VMware", "VirtualBox", "Hyper-V",   "VPN",
    "Loopback",  "Tunnel", "TAP",        "TUN",       "Microsoft Wi-Fi Direct",
    "Bluetooth", "WSL",    "Docker",     "vEthernet",
};

// Logs the two virtual-adapter lines and returns true when a keyword occurs in the adapter's
// description or friendly name (exact bytes, case-sensitive).
bool skipIfVirtual(const NetworkAdapter& adapter) {
  for (const char* keyword : kVirtualAdapterKeywords) {
    if (adapter.description.find(keyword) != std::string::npos ||
        adapter.friendlyName.find(keyword) != std::string::npos) {
      const std::string name = loggableText(adapter.friendlyName);
      logLine("检测到虚拟网卡关键词 '", keyword, "' in: ", name);
      logLine("跳过虚拟网卡: ", name, " (", loggableText(adapter.description), ")");
      return true;
    }
  }
  return false;
}

bool isPhysicalType(unsigned long type) {
  return type == kIfTypeEthernet || type == kIfTypeWireless;
}

const char* typeWord(unsigned long type) {
  return type == kIfTypeWireless ? "无线网络" : "有线以太网";
}

bool usable(const NetworkAdapter& adapter) { return adapter.up && adapter.hasUnicastAddress; }

// Runs the adapter's command unless its name cannot be passed safely, which is refused with a
// failure line and counts as a failed command.
bool runForAdapter(const NetworkAdapter& adapter, const CommandLine& command,
                   CommandRunner& runner) {
  if (!adapterNameSafeForCommand(adapter)) {
    logError("适配器名称含有不安全的字符，未执行命令: ", loggableText(adapter.friendlyName));
    return false;
  }
  return runner.runCommand(command);
}

// Reads the adapter list, logging the failures; false when there is no list.
bool readAdapters(AdapterListSource& source, AdapterList& list) {
  list = source.listAdapters();
  switch (list.status) {
    case AdapterListStatus::kOk:
      return true;
    case AdapterListStatus::kOutOfMemory:
      logError("内存分配失败");
      return false;
    case AdapterListStatus::kFailed:
      break;
  }
  logError("GetAdaptersAddresses 失败: ", list.errorCode);
  return false;
}

bool isDecimalOctet(const std::string& text, std::size_t begin, std::size_t end) {
  const std::size_t length = end - begin;
  if (length == 0 || length > 3) return false;
  if (length > 1 && text[begin] == '0') return false;
  int value = 0;
  for (std::size_t i = begin; i < end; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  return value <= 255;
}

}  // namespace

bool isDottedQuadIpv4(const std::string& text) {
  std::size_t begin = 0;
  for (int part = 0; part < 4; ++part) {
    const std::size_t dot = part < 3 ? text.find('.', begin) : text.size();
    if (dot == std::string::npos || !isDecimalOctet(text, begin, dot)) return false;
    begin = dot + 1;
  }
  return true;
}

bool setSystemDns(std::string& dnsChangeMarker, const std::string& server,
                  AdapterListSource& adapters, CommandRunner& runner) {
  // The server text ends up in a command line run with administrator rights.
  if (!isDottedQuadIpv4(server)) {
    logError("无效的DNS服务器地址: ", loggableText(server));
    return false;
  }
  AdapterList list;
  if (!readAdapters(adapters, list)) return false;

  bool anySucceeded = false;
  dnsChangeMarker = kDnsChangedMarker;
  for (const NetworkAdapter& adapter : list.adapters) {
    if (skipIfVirtual(adapter)) continue;
    if (!usable(adapter)) continue;
    const std::string name = loggableText(adapter.friendlyName);
    if (!isPhysicalType(adapter.interfaceType)) {
      logLine("跳过适配器 ", name, " (类型: ", adapter.interfaceType, ")");
      continue;
    }
    const char* word = typeWord(adapter.interfaceType);
    logLine("正在配置 ", word, " 适配器: ", name);
    if (runForAdapter(adapter, setDnsCommand(adapter.friendlyName, server), runner)) {
      logLine("成功为", word, "适配器 ", name, " 设置DNS为 ", server);
      anySucceeded = true;
    }
  }
  return anySucceeded;
}

bool resetSystemDns(std::string& dnsChangeMarker, AdapterListSource& adapters,
                    CommandRunner& runner) {
  if (dnsChangeMarker.empty()) return true;
  AdapterList list;
  if (!readAdapters(adapters, list)) return false;

  bool anySucceeded = false;
  for (const NetworkAdapter& adapter : list.adapters) {
    if (!usable(adapter)) continue;
    if (skipIfVirtual(adapter)) continue;
    const std::string name = loggableText(adapter.friendlyName);
    if (!isPhysicalType(adapter.interfaceType)) {
      logLine("跳过非以太网/无线网络适配器: ", name, " (类型: ", adapter.interfaceType, ")");
      continue;
    }
    logLine("正在重置 ", typeWord(adapter.interfaceType), " 适配器: ", name, " 的DNS设置");
    if (runForAdapter(adapter, resetDnsCommand(adapter.friendlyName), runner)) {
      logLine("成功重置适配器 ", name, " 的DNS设置");
      anySucceeded = true;
    } else {
      logError("重置适配器 ", name, " 的DNS设置失败");
    }
  }
  dnsChangeMarker.clear();
  return anySucceeded;
}

}  // namespace quillon
