// The one owner of what this process changed on the machine's network settings: the system
// proxy (the LAN connection and every dial-up, PPPoE or VPN phone-book entry) and the physical
// adapters' DNS. It holds the backends, the record of what was there before (with its on-disk
// journal) and which changes are applied, and it serves connecting and disconnecting, the
// single steps, the window's teardown and the put-back at start-up alike. UI thread only.
#pragma once

#include <string>
#include <vector>

#include "system/network_record.h"
#include "system/system_backends.h"

namespace quillon {

enum class NetworkRecovery {
  kNothingToDo,  // no journal
  kRestored,     // everything in the journal was put back and the journal removed
  kFailed,       // the journal could not be read or was refused, or something stayed changed
};

class NetworkSettings {
 public:
  // The backends' objects are not owned and must outlive this object. Nothing is read yet.
  explicit NetworkSettings(SystemBackends backends);

  NetworkSettings(const NetworkSettings&) = delete;
  NetworkSettings& operator=(const NetworkSettings&) = delete;

  // Takes over what the journal of an earlier run holds (NetworkRecord::loadJournal), once;
  // after a journal that could not be read, each call tries again. A change made before this
  // was called calls it first.
  NetworkRecord::Load loadJournal();

  // Start-up: loads the journal and, when it holds settings, logs
  // "发现未恢复的系统网络设置，正在恢复", puts back the proxy settings (the LAN connection's,
  // then each phone-book entry's) and then each adapter's DNS with the reset lines, and logs
  // "系统网络设置已恢复" when all of it worked. A step that fails logs its failure line instead
  // and the others are still tried; whatever could not be put back stays in the journal (and
  // in the record, so that a new connection never records this program's own settings as the
  // user's).
  NetworkRecovery restoreLeftover();

  // Points the LAN connection and every phone-book entry at `url`. Just before the first change
  // what is in force is recorded (and journaled), unless the record still holds settings this
  // process has not put back: the LAN connection's flags as the user sees them
  // (queryProxySettings), URL, proxy server and bypass list, and each entry's alike. Lines:
  // the LAN's "成功设置系统PAC为: " + url (or "设置PAC URL失败: " + code), then one per entry,
  // "成功为拨号连接 " + name + " 设置PAC为: " + url or "为拨号连接 " + name + " 设置PAC失败: " +
  // code. True when the LAN connection was changed; then pacApplied() holds. Refused, with
  // nothing changed, when the LAN settings cannot be read or kept exactly
  // ("读取系统代理设置失败: " + code) or the journal of an earlier run cannot be read (its
  // settings would be recorded as the user's, and the journal overwritten). An entry whose
  // settings cannot be read ("读取拨号连接 " + name + " 的代理设置失败: " + code) or that cannot
  // be changed keeps its own settings.
  bool applyPac(const std::string& url);

  // Puts back what the record holds for the LAN connection (restoreSystemPac) or, when nothing
  // was ever recorded, a direct connection (resetSystemPac); then each recorded phone-book
  // entry, one line each: "拨号连接 " + name + " 的代理已恢复为: " + what, or
  // "重置拨号连接 " + name + " 的代理设置失败: " + code. What was put back is kept, so a second
  // reset puts back the same. pacApplied() is left as it is. True when everything was put back.
  bool resetPac();

  // resetPac() when pacApplied(), which is then cleared, whatever the result; true otherwise.
  bool undoPac();

  // Sets the adapters' DNS (setSystemDns). dnsChanged() holds once the adapter list was read.
  // True when at least one adapter took the server. Refused like applyPac() when the journal
  // of an earlier run cannot be read.
  bool applyDns(const std::string& server);

  // True at once, logging nothing, when !dnsChanged(). Otherwise puts back every recorded
  // adapter (resetSystemDns) and clears dnsChanged(); true when every adapter was put back.
  bool resetDns();

  // The window's teardown: undoPac(), then resetDns(). True when both were fully done.
  bool putEverythingBack();

  // Writes the warning line of warnIfDesktopBelongsToAnotherAccount() when this process runs
  // as another account than the desktop's.
  void warnIfAnotherAccount();

  bool pacApplied() const { return pacApplied_; }
  bool dnsChanged() const { return dnsChanged_; }
  const NetworkRecord& record() const { return record_; }
  const SystemBackends& backends() const { return backends_; }

 private:
  // False, with a failure line, while the journal of an earlier run cannot be read.
  bool journalReadable();
  // Records what is in force for every listed phone-book entry not yet recorded (adding the
  // names to `recordedNow`); returns the entries to point at the PAC.
  std::vector<std::string> recordConnections(std::vector<std::string>& recordedNow);
  // Puts back the recorded proxy settings: the LAN connection's (or, without a record and when
  // `directWithoutRecord`, a direct connection), then each recorded entry's.
  bool restoreProxies(bool directWithoutRecord);

  const SystemBackends backends_;
  NetworkRecord record_;
  bool journalLoaded_ = false;
  NetworkRecord::Load journalLoad_ = NetworkRecord::Load::kAbsent;
  bool pacApplied_ = false;
  bool dnsChanged_ = false;
};

}  // namespace quillon
