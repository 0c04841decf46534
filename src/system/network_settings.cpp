#include "system/network_settings.h"

#include <algorithm>

#include "log/app_log.h"
#include "log/log_text.h"
#include "system/system_dns.h"
#include "system/system_proxy.h"

namespace quillon {
namespace {

bool contains(const std::vector<std::string>& names, const std::string& name) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

// Reads `connection`'s settings for the record; false (with the error code) when they cannot be
// read or cannot be kept exactly in the journal.
bool readForRecord(InternetOptionGetter& getter, const std::string& connection,
                   ProxySettings* settings, unsigned long* errorCode) {
  if (!queryProxySettings(getter, connection, settings, errorCode)) return false;
  if (journalCanHold(*settings)) return true;
  *errorCode = kInvalidDataCode;
  return false;
}

}  // namespace

NetworkSettings::NetworkSettings(SystemBackends backends)
    : backends_(backends), record_(backends.journal) {}

NetworkRecord::Load NetworkSettings::loadJournal() {
  if (!journalLoaded_ || journalLoad_ == NetworkRecord::Load::kFailed) {
    journalLoad_ = record_.loadJournal();
    journalLoaded_ = true;
  }
  return journalLoad_;
}

bool NetworkSettings::journalReadable() {
  if (loadJournal() != NetworkRecord::Load::kFailed) return true;
  logError("系统网络设置恢复记录无法读取，为保留其中记下的原有设置，本次不更改系统设置");
  return false;
}

NetworkRecovery NetworkSettings::restoreLeftover() {
  switch (loadJournal()) {
    case NetworkRecord::Load::kAbsent:
      return NetworkRecovery::kNothingToDo;
    case NetworkRecord::Load::kRefused:
    case NetworkRecord::Load::kFailed:
      return NetworkRecovery::kFailed;
    case NetworkRecord::Load::kLoaded:
      break;
  }
  logLine("发现未恢复的系统网络设置，正在恢复");
  bool restored = true;
  const RecordedSettings& left = record_.outstanding();
  if ((left.proxy || !left.connections.empty()) && !restoreProxies(false)) restored = false;
  if (!resetSystemDns(backends_, record_)) restored = false;
  if (!restored) return NetworkRecovery::kFailed;
  logLine("系统网络设置已恢复");
  return NetworkRecovery::kRestored;
}

std::vector<std::string> NetworkSettings::recordConnections(std::vector<std::string>& recordedNow) {
  std::vector<std::string> listed;
  unsigned long errorCode = 0;
  if (backends_.connectionEntries == nullptr) return listed;
  if (!backends_.connectionEntries->listEntries(&listed, &errorCode)) {
    logError("无法列出拨号连接: ", errorCode);
    return {};
  }
  std::vector<std::string> toChange;
  for (const std::string& name : listed) {
    if (record_.outstandingProxy(name) == nullptr) {
      if (record_.outstanding().connections.size() >= kMaxJournalConnections) {
        logError("拨号连接过多，未设置: ", loggableText(name));
        continue;
      }
      ProxySettings current;
      if (!readForRecord(*backends_.currentInternetOptions, name, &current, &errorCode)) {
        logError("读取拨号连接 ", loggableText(name), " 的代理设置失败: ", errorCode);
        continue;
      }
      record_.recordProxy(name, current);
      recordedNow.push_back(name);
    }
    toChange.push_back(name);
  }
  return toChange;
}

bool NetworkSettings::applyPac(const std::string& url) {
  if (!journalReadable()) return false;
  std::vector<std::string> recordedNow;
  if (record_.outstandingProxy(kLanConnection) == nullptr) {
    ProxySettings current;
    unsigned long errorCode = 0;
    if (!readForRecord(*backends_.currentInternetOptions, kLanConnection, &current, &errorCode)) {
      logError("读取系统代理设置失败: ", errorCode);
      return false;
    }
    record_.recordProxy(kLanConnection, current);
    recordedNow.push_back(kLanConnection);
  }
  // WinINet uses a dial-up connection's own settings, not the LAN's, while it is up.
  const std::vector<std::string> connections = recordConnections(recordedNow);

  InternetOptionSetter& options = *backends_.internetOptions;
  if (!setSystemPac(url, options)) {
    for (const std::string& name : recordedNow) record_.dropProxy(name);
    return false;
  }
  pacApplied_ = true;
  bool anyChanged = false;
  for (const std::string& name : connections) {
    unsigned long errorCode = 0;
    if (options.applyToConnection(name, pacOptions(url), &errorCode)) {
      logLine("成功为拨号连接 ", loggableText(name), " 设置PAC为: ", url);
      anyChanged = true;
    } else {
      logError("为拨号连接 ", loggableText(name), " 设置PAC失败: ", errorCode);
      if (contains(recordedNow, name)) record_.dropProxy(name);
    }
  }
  if (anyChanged) options.refresh();
  return true;
}

bool NetworkSettings::restoreProxies(bool directWithoutRecord) {
  InternetOptionSetter& options = *backends_.internetOptions;
  bool allRestored = true;
  if (const ProxySettings* saved = record_.proxyToRestore(kLanConnection)) {
    const ProxySettings lan = *saved;
    if (restoreSystemPac(lan, options)) {
      record_.proxyRestored(kLanConnection);
    } else {
      allRestored = false;
    }
  } else if (directWithoutRecord && !resetSystemPac(options)) {
    allRestored = false;
  }
  bool anyRestored = false;
  for (const std::string& name : record_.connectionsToRestore()) {
    const ProxySettings saved = *record_.proxyToRestore(name);
    unsigned long errorCode = 0;
    if (options.applyToConnection(name, restoreOptions(saved), &errorCode)) {
      logLine("拨号连接 ", loggableText(name), " 的代理已恢复为: ", describeProxySettings(saved));
      record_.proxyRestored(name);
      anyRestored = true;
    } else {
      logError("重置拨号连接 ", loggableText(name), " 的代理设置失败: ", errorCode);
      allRestored = false;
    }
  }
  if (anyRestored) options.refresh();
  return allRestored;
}

bool NetworkSettings::resetPac() { return restoreProxies(true); }

bool NetworkSettings::undoPac() {
  if (!pacApplied_) return true;
  const bool restored = resetPac();
  pacApplied_ = false;
  return restored;
}

bool NetworkSettings::applyDns(const std::string& server) {
  if (!journalReadable()) return false;
  const DnsChange change = setSystemDns(server, backends_, record_);
  if (change.adaptersRead) dnsChanged_ = true;
  return change.anySucceeded;
}

bool NetworkSettings::resetDns() {
  if (!dnsChanged_) return true;
  const bool restored = resetSystemDns(backends_, record_);
  dnsChanged_ = false;
  return restored;
}

bool NetworkSettings::putEverythingBack() {
  const bool pac = undoPac();
  const bool dns = resetDns();
  return pac && dns;
}

void NetworkSettings::warnIfAnotherAccount() {
  if (backends_.accounts != nullptr) warnIfDesktopBelongsToAnotherAccount(*backends_.accounts);
}

}  // namespace quillon
