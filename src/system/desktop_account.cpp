#include "system/desktop_account.h"

#include "log/app_log.h"
#include "log/log_text.h"

namespace quillon {

bool warnIfDesktopBelongsToAnotherAccount(AccountSource& accounts) {
  Account process;
  Account desktop;
  if (!accounts.processAccount(&process) || !accounts.desktopAccount(&desktop) ||
      process.id == desktop.id) {
    return false;
  }
  const std::string processName = loggableText(process.name);
  const std::string desktopName = loggableText(desktop.name);
  logError("警告: 本程序以账户 ", processName, " 运行，而桌面属于账户 ", desktopName,
           "：系统代理只对 ", processName, " 生效，", desktopName, " 的浏览器不会经过本程序的代理");
  return true;
}

}  // namespace quillon
