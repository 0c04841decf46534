// What the machine's proxy and adapter DNS settings were before this process changed them. The
// record is taken just before the first change, the resets put back exactly what it holds, and
// everything still changed is mirrored in the on-disk journal, so that a run that was killed or
// crashed is put right at the next start.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "system/journal_storage.h"
#include "system/network_journal.h"

namespace quillon {

class NetworkRecord {
 public:
  enum class Load { kAbsent, kLoaded, kRefused, kFailed };

  // Every update is written to `journal` before the change it belongs to is made; null keeps
  // the record in memory only. The journal is not owned and must outlive the record. The
  // record starts empty; loadJournal() takes over what an earlier run left.
  explicit NetworkRecord(JournalStorage* journal) : journal_(journal) {}

  NetworkRecord(const NetworkRecord&) = delete;
  NetworkRecord& operator=(const NetworkRecord&) = delete;

  // Takes over what the journal holds as still to be put back: kLoaded. kAbsent when there is
  // no journal (or no storage), or one that holds nothing (it is deleted). A journal that
  // cannot be read logs "无法读取系统网络设置恢复记录: " and the code (kFailed) and is left
  // where it is; one that fails a check (decodeJournal) is renamed aside and logs
  // "系统网络设置恢复记录无效，已移至一旁，不会执行: " and the reason (kRefused). Nothing of a
  // journal that is not kLoaded is ever used.
  Load loadJournal();

  // The settings this process changed and has not put back: what the journal holds.
  const RecordedSettings& outstanding() const { return outstanding_; }

  // The proxy settings of `connection` (kLanConnection or a phone-book entry): outstanding ones
  // or null. proxyToRestore() is what a reset puts back: the outstanding settings, else those
  // the last reset put back (so that resetting twice puts back the same), else null when none
  // were ever recorded.
  const ProxySettings* outstandingProxy(const std::string& connection) const;
  const ProxySettings* proxyToRestore(const std::string& connection) const;
  // The phone-book entries a reset puts back: those outstanding, in the order recorded, then
  // those put back before.
  std::vector<std::string> connectionsToRestore() const;
  void recordProxy(const std::string& connection, const ProxySettings& settings);
  void proxyRestored(const std::string& connection);
  // Forgets settings recorded for a change that then failed.
  void dropProxy(const std::string& connection);

  // The adapters' DNS settings, by adapter name.
  const AdapterDnsSettings* outstandingAdapter(const std::string& name) const;
  void recordAdapter(const AdapterDnsSettings& settings);
  void adapterRestored(const std::string& name);

 private:
  // Removes `connection`'s outstanding proxy settings (without saving).
  void eraseProxy(const std::string& connection);

  // Writes what is outstanding, or removes the journal when nothing is; failures are logged
  // ("无法写入系统网络设置恢复记录: " / "无法删除系统网络设置恢复记录: " and the code) and the
  // record in memory carries on. A journal that cannot be removed is emptied where it is, so
  // that a later start never puts back what was put back already.
  void saveJournal();

  JournalStorage* const journal_;
  RecordedSettings outstanding_;
  std::map<std::string, ProxySettings> restoredProxies_;  // by connection
};

}  // namespace quillon
