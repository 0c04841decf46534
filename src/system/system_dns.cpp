#include "system/system_dns.h"

#include <array>
#include <cstddef>

#include "log/app_log.h"
#include "log/log_text.h"
#include "system/adapter_dns.h"
#include "system/network_record.h"
#include "system/system_backends.h"

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
      logLine("检测到虚拟网卡关键词 '", keyword, "' in: ", loggableText(adapter.friendlyName));
      logLine("跳过虚拟网卡: ", loggableText(adapter.friendlyName), " (",
              loggableText(adapter.description), ")");
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

// Refuses, with a failure line, an adapter whose name cannot be passed to a command safely.
bool nameSafeOrRefused(const NetworkAdapter& adapter) {
  if (adapterNameSafeForCommand(adapter)) return true;
  logError("适配器名称含有不安全的字符，未执行命令: ", loggableText(adapter.friendlyName));
  return false;
}

// Adds the adapter's current setting to the record before its first change; false (with a
// failure line) when it cannot be read, in which case the adapter must not be changed.
bool recordBeforeChange(const NetworkAdapter& adapter, AdapterDnsReader& reader,
                        NetworkRecord& record) {
  if (record.outstandingAdapter(adapter.friendlyName) != nullptr) return true;
  AdapterDnsSettings current{adapter.friendlyName, adapter.interfaceType, {}};
  unsigned long errorCode = 0;
  if (!reader.readDnsServers(adapter, &current.servers, &errorCode)) {
    logError("读取适配器 ", loggableText(adapter.friendlyName), " 的DNS设置失败: ", errorCode);
    return false;
  }
  record.recordAdapter(current);
  return true;
}

std::string describeServers(const std::vector<std::string>& servers) {
  if (servers.empty()) return "DHCP";
  std::string text;
  for (const std::string& server : servers) {
    if (!text.empty()) text += ", ";
    text += server;
  }
  return text;
}

// Runs the commands that give the adapter back its recorded setting, with the reset's lines.
bool restoreAdapter(const AdapterDnsSettings& saved, CommandRunner& runner) {
  const std::string name = loggableText(saved.adapterName);
  logLine("正在重置 ", typeWord(saved.interfaceType), " 适配器: ", name, " 的DNS设置");
  for (const CommandLine& command : restoreDnsCommands(saved.adapterName, saved.servers)) {
    if (!runner.runCommand(command)) {
      logError("重置适配器 ", name, " 的DNS设置失败");
      return false;
    }
  }
  logLine("成功重置适配器 ", name, " 的DNS设置");
  logLine("适配器 ", name, " 的DNS已恢复为: ", describeServers(saved.servers));
  return true;
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

DnsChange setSystemDns(const std::string& server, const SystemBackends& system,
                       NetworkRecord& record) {
  DnsChange change;
  // The server text ends up in a command line run with administrator rights.
  if (!isDottedQuadIpv4(server)) {
    logError("无效的DNS服务器地址: ", loggableText(server));
    return change;
  }
  AdapterList list;
  if (!readAdapters(*system.adapters, list)) return change;

  change.adaptersRead = true;
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
    if (!nameSafeOrRefused(adapter) || !recordBeforeChange(adapter, *system.adapterDns, record)) {
      continue;
    }
    if (system.commands->runCommand(setDnsCommand(adapter.friendlyName, server))) {
      logLine("成功为", word, "适配器 ", name, " 设置DNS为 ", server);
      change.anySucceeded = true;
    }
  }
  return change;
}

bool resetSystemDns(const SystemBackends& system, NetworkRecord& record) {
  bool allRestored = true;
  // A copy: each adapter put back leaves the record.
  const std::vector<AdapterDnsSettings> changed = record.outstanding().adapters;
  for (const AdapterDnsSettings& saved : changed) {
    if (restoreAdapter(saved, *system.commands)) {
      record.adapterRestored(saved.adapterName);
    } else {
      allRestored = false;
    }
  }
  return allRestored;
}

}  // namespace quillon
