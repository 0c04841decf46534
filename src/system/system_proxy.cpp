#include "system/system_proxy.h"

#include "app/app_log.h"

namespace quillon {

bool setSystemPac(bool& pacApplied, const std::string& url, InternetOptionSetter& options) {
  const std::vector<ConnectionOption> list = {
      {kOptionAutoConfigUrl, url, 0},
      {kOptionFlags, {}, kProxyTypeAutoProxyUrl},
  };
  unsigned long errorCode = 0;
  if (!options.applyToDefaultConnection(list, &errorCode)) {
    logError("设置PAC URL失败: ", errorCode);
    return false;
  }
  options.refresh();
  logLine("成功设置系统PAC为: ", url);
  pacApplied = true;
  return true;
}

bool resetSystemPac(InternetOptionSetter& options) {
  const std::vector<ConnectionOption> list = {{kOptionFlags, {}, kProxyTypeDirect}};
  unsigned long errorCode = 0;
  if (!options.applyToDefaultConnection(list, &errorCode)) {
    logError("重置代理设置失败: ", errorCode);
    return false;
  }
  options.refresh();
  logLine("成功重置系统PAC设置");
  return true;
}

}  // namespace quillon
