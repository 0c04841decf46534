#include "system/network_record.h"

#include <algorithm>

#include "log/app_log.h"
#include "log/log_text.h"
#include "system/system_dns.h"

namespace quillon {

NetworkRecord::Load NetworkRecord::loadJournal() {
  if (journal_ == nullptr) return Load::kAbsent;
  std::string text;
  unsigned long errorCode = 0;
  std::string problem;
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
      if (decodeJournal(text, &outstanding_, &problem)) return Load::kLoaded;
      break;
  }
  logError("系统网络设置恢复记录无效，已移至一旁，不会执行: ", loggableText(problem));
  if (!journal_->setAside(&errorCode)) {
    logError("无法移走无效的系统网络设置恢复记录: ", errorCode);
  }
  return Load::kRefused;
}

const ProxySettings* NetworkRecord::proxyToRestore() const {
  if (outstanding_.proxy) return &*outstanding_.proxy;
  return restoredProxy_ ? &*restoredProxy_ : nullptr;
}

void NetworkRecord::recordProxy(const ProxySettings& settings) {
  outstanding_.proxy = settings;
  saveJournal();
}

void NetworkRecord::proxyRestored() {
  if (!outstanding_.proxy) return;
  restoredProxy_ = outstanding_.proxy;
  outstanding_.proxy.reset();
  saveJournal();
}

void NetworkRecord::dropProxy() {
  if (!outstanding_.proxy) return;
  outstanding_.proxy.reset();
  saveJournal();
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
  if (outstanding_.empty()) {
    if (!journal_->remove(&errorCode)) logError("无法删除系统网络设置恢复记录: ", errorCode);
  } else if (!journal_->write(encodeJournal(outstanding_), &errorCode)) {
    logError("无法写入系统网络设置恢复记录: ", errorCode);
  }
}

}  // namespace quillon
