#include "system/network_recovery.h"

#include "log/app_log.h"
#include "system/network_record.h"
#include "system/system_dns.h"
#include "system/system_proxy.h"

namespace quillon {

NetworkRecovery restoreLeftoverNetworkSettings(const SystemBackends& system) {
  NetworkRecord record(system.journal);
  switch (record.loadJournal()) {
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
  if (record.proxyOutstanding() && !resetSystemPac(system, record)) restored = false;
  bool dnsChanged = !record.outstanding().adapters.empty();
  if (!resetSystemDns(dnsChanged, system, record)) restored = false;
  if (!restored) return NetworkRecovery::kFailed;
  logLine("系统网络设置已恢复");
  return NetworkRecovery::kRestored;
}

}  // namespace quillon
