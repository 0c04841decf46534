// Whose settings the system proxy change reaches. The PAC setting belongs to the account the
// process runs as; when a standard user starts the program with an administrator's password it
// runs as that administrator, and the change lands in the administrator's profile while the
// signed-in user's browsers are not routed. A replaceable source, so the comparison can be
// tested with made-up accounts.
#pragma once

#include <memory>
#include <string>

namespace quillon {

struct Account {
  std::string id;    // what tells accounts apart: a SID ("S-1-5-21-...") or a user id
  std::string name;  // for the log: "DOMAIN\user" or the user name (UTF-8)
};

class AccountSource {
 public:
  virtual ~AccountSource() = default;
  // The account this process runs as. False when it cannot be read.
  virtual bool processAccount(Account* account) = 0;
  // The account of the signed-in user whose desktop this process runs on. False when there is
  // no such desktop or it cannot be told.
  virtual bool desktopAccount(Account* account) = 0;
};

// Windows: the process token's user; the desktop's is the user of the shell's process
// (GetShellWindow), or, where that process cannot be opened, the signed-in user of this
// process's session (WTSQuerySessionInformationW). Elsewhere: the effective user; the desktop's
// is the user that started this process through sudo or pkexec (SUDO_UID, PKEXEC_UID).
std::unique_ptr<AccountSource> makeSystemAccountSource();

// Writes one warning line to the error stream when both accounts are known and differ:
// "警告: 本程序以账户 " + process + " 运行，而桌面属于账户 " + desktop + "：系统代理只对 " +
// process + " 生效，" + desktop + " 的浏览器不会经过本程序的代理". True when it did. No line
// when either account cannot be told.
bool warnIfDesktopBelongsToAnotherAccount(AccountSource& accounts);

}  // namespace quillon
