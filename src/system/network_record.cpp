#include "system/network_record.h"

#include <algorithm>

#include "log/app_log.h"
#include "log/log_text.h"

namespace quillon {

NetworkRecord::Load NetworkRecord::loadJournal() {
  if (journal_ == nullptr) return Load::kAbsent;
  std::string text;
  unsigned long errorCode = 0;
  std::string problem;
  RecordedSettings read;
  switch (journal_->read(&text, &errorCode)) {
    case JournalReadStatus::kAbsent:
      return Load::kAbsent;
    case JournalReadStatus::kFailed:
      logError("无法读取系统网络设置恢复记录: ", errorCode);
      return Load::kFailed;
    case JournalReadStatus::kTooLarge:
      problem = "文件过大";
      break;
    case JournalReadStatus::kRead:
      if (!decodeJournal(text, &read, &problem)) break;
      if (read.empty()) {
        // Emptied where it could not be deleted: nothing to do but try the delete again.
        journal_->remove(&errorCode);
        return Load::kAbsent;
      }
      outstanding_ = std::move(read);
      return Load::kLoaded;
  }
  logError("系统网络设置恢复记录无效，已移至一旁，不会执行: ", loggableText(problem));
  if (!journal_->setAside(&errorCode)) {
    logError("无法移走无效的系统网络设置恢复记录: ", errorCode);
  }
  return Load::kRefused;
}

const ProxySettings* NetworkRecord::outstandingProxy(const std::string& connection) const {
  if (connection.empty()) return outstanding_.proxy ? &*outstanding_.proxy : nullptr;
  for (const ConnectionProxySettings& entry : outstanding_.connections) {
    if (entry.connection == connection) return &entry.settings;
  }
  return nullptr;
}

const ProxySettings* NetworkRecord::proxyToRestore(const std::string& connection) const {
  if (const ProxySettings* outstanding = outstandingProxy(connection)) return outstanding;
  const auto restored = restoredProxies_.find(connection);
  return restored == restoredProxies_.end() ? nullptr : &restored->second;
}

std::vector<std::string> NetworkRecord::connectionsToRestore() const {
  std::vector<std::string> names;
  for (const ConnectionProxySettings& entry : outstanding_.connections) {
    names.push_back(entry.connection);
  }
  for (const auto& [name, settings] : restoredProxies_) {
    if (!name.empty() && std::find(names.begin(), names.end(), name) == names.end()) {
      names.push_back(name);
    }
  }
  return names;
}

void NetworkRecord::recordProxy(const std::string& connection, const ProxySettings& settings) {
  eraseProxy(connection);
  if (connection.empty()) {
    outstanding_.proxy = settings;
  } else {
    outstanding_.connections.push_back({connection, settings});
  }
  saveJournal();
}

void NetworkRecord::proxyRestored(const std::string& connection) {
  const ProxySettings* outstanding = outstandingProxy(connection);
  if (outstanding == nullptr) return;
  restoredProxies_[connection] = *outstanding;
  eraseProxy(connection);
  saveJournal();
}

void NetworkRecord::dropProxy(const std::string& connection) {
  if (outstandingProxy(connection) == nullptr) return;
  eraseProxy(connection);
  saveJournal();
}

void NetworkRecord::eraseProxy(const std::string& connection) {
  if (connection.empty()) {
    outstanding_.proxy.reset();
    return;
  }
  auto& entries = outstanding_.connections;
  entries.erase(std::remove_if(entries.begin(), entries.end(),
                               [&](const ConnectionProxySettings& entry) {
                                 return entry.connection == connection;
                               }),
                entries.end());
}

const AdapterDnsSettings* NetworkRecord::outstandingAdapter(const std::string& name) const {
  for (const AdapterDnsSettings& adapter : outstanding_.adapters) {
    if (adapter.adapterName == name) return &adapter;
  }
  return nullptr;
}

void NetworkRecord::recordAdapter(const AdapterDnsSettings& settings) {
  outstanding_.adapters.push_back(settings);
  saveJournal();
}

void NetworkRecord::adapterRestored(const std::string& name) {
  auto& adapters = outstanding_.adapters;
  const auto found =
      std::find_if(adapters.begin(), adapters.end(),
                   [&](const AdapterDnsSettings& a) { return a.adapterName == name; });
  if (found == adapters.end()) return;
  adapters.erase(found);
  saveJournal();
}

void NetworkRecord::saveJournal() {
  if (journal_ == nullptr) return;
  unsigned long errorCode = 0;
  if (!outstanding_.empty()) {
    if (!journal_->write(encodeJournal(outstanding_), &errorCode)) {
      logError("无法写入系统网络设置恢复记录: ", errorCode);
    }
    return;
  }
  if (journal_->remove(&errorCode)) return;
  logError("无法删除系统网络设置恢复记录: ", errorCode);
  // Left as it is, the journal would put back at the next start settings that were put back
  // already, over whatever the user set since. Emptied, it holds nothing to do.
  unsigned long emptyingCode = 0;
  if (journal_->overwriteInPlace(encodeJournal(RecordedSettings{}), &emptyingCode)) {
    logLine("系统网络设置恢复记录已清空，不会再被执行");
  } else {
    logError("无法清空系统网络设置恢复记录: ", emptyingCode);
  }
}

}  // namespace quillon
