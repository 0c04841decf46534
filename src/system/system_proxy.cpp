#include "system/system_proxy.h"

#include "log/app_log.h"
#include "log/log_text.h"
#include "system/network_journal.h"
#include "system/network_record.h"
#include "system/system_backends.h"
#include "system/system_dns.h"

namespace quillon {
namespace {

// What a restore line says the default connection was put back to.
std::string describeProxySettings(const ProxySettings& settings) {
  std::string text;
  auto add = [&text](const std::string& part) {
    if (!text.empty()) text += ", ";
    text += part;
  };
  if ((settings.flags & kProxyTypeProxy) != 0) {
    add("代理服务器 " + loggableText(settings.proxyServer));
    if (!settings.proxyBypass.empty()) add("例外 " + loggableText(settings.proxyBypass));
  }
  if ((settings.flags & kProxyTypeAutoProxyUrl) != 0) {
    add("自动配置脚本 " + loggableText(settings.autoConfigUrl));
  }
  if ((settings.flags & kProxyTypeAutoDetect) != 0) add("自动检测设置");
  if (text.empty()) add("直接连接");
  return text;
}

// Applies the option list of a reset, refreshes and logs the reset's success line.
bool applyResetOptions(const std::vector<ConnectionOption>& list, InternetOptionSetter& options) {
  unsigned long errorCode = 0;
  if (!options.applyToDefaultConnection(list, &errorCode)) {
    logError("重置代理设置失败: ", errorCode);
    return false;
  }
  options.refresh();
  logLine("成功重置系统PAC设置");
  return true;
}

}  // namespace

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
  return applyResetOptions({{kOptionFlags, {}, kProxyTypeDirect}}, options);
}

bool restoreSystemPac(const ProxySettings& settings, InternetOptionSetter& options) {
  // The texts go first so that the flags never switch on a URL or server not yet in place.
  const std::vector<ConnectionOption> list = {
      {kOptionAutoConfigUrl, settings.autoConfigUrl, 0, OptionText::kUtf8},
      {kOptionProxyServer, settings.proxyServer, 0, OptionText::kUtf8},
      {kOptionProxyBypass, settings.proxyBypass, 0, OptionText::kUtf8},
      {kOptionFlags, {}, settings.flags},
  };
  if (!applyResetOptions(list, options)) return false;
  logLine("系统代理已恢复为: ", describeProxySettings(settings));
  return true;
}

bool setSystemPac(bool& pacApplied, const std::string& url, const SystemBackends& system,
                  NetworkRecord& record) {
  const bool takeRecord = !record.proxyOutstanding();
  if (takeRecord) {
    ProxySettings current;
    unsigned long errorCode = 0;
    if (!system.currentInternetOptions->queryDefaultConnection(&current, &errorCode)) {
      logError("读取系统代理设置失败: ", errorCode);
      return false;
    }
    if (!journalCanHold(current)) {
      logError("读取系统代理设置失败: ", kInvalidDataCode);
      return false;
    }
    record.recordProxy(current);
  }
  if (setSystemPac(pacApplied, url, *system.internetOptions)) return true;
  if (takeRecord) record.dropProxy();
  return false;
}

bool resetSystemPac(const SystemBackends& system, NetworkRecord& record) {
  const ProxySettings* saved = record.proxyToRestore();
  if (saved == nullptr) return resetSystemPac(*system.internetOptions);
  if (!restoreSystemPac(*saved, *system.internetOptions)) return false;
  record.proxyRestored();
  return true;
}

}  // namespace quillon
