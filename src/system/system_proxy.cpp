#include "system/system_proxy.h"

#include "log/app_log.h"
#include "log/log_text.h"

namespace quillon {
namespace {

// Applies the option list of a reset to the LAN connection, refreshes and logs the reset's
// success line.
bool applyResetOptions(const std::vector<ConnectionOption>& list, InternetOptionSetter& options) {
  unsigned long errorCode = 0;
  if (!options.applyToConnection(kLanConnection, list, &errorCode)) {
    logError("重置代理设置失败: ", errorCode);
    return false;
  }
  options.refresh();
  logLine("成功重置系统PAC设置");
  return true;
}

}  // namespace

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

std::vector<ConnectionOption> restoreOptions(const ProxySettings& settings) {
  // "INTERNET_PER_CONN_OPTIONW structure (wininet.h)": the connection type is restored through
  // INTERNET_PER_CONN_FLAGS whichever option it was read through.
  return {
      {kOptionAutoConfigUrl, settings.autoConfigUrl, 0, OptionText::kUtf8},
      {kOptionProxyServer, settings.proxyServer, 0, OptionText::kUtf8},
      {kOptionProxyBypass, settings.proxyBypass, 0, OptionText::kUtf8},
      {kOptionFlags, {}, settings.flags},
  };
}

bool queryProxySettings(InternetOptionGetter& getter, const std::string& connection,
                        ProxySettings* settings, unsigned long* errorCode) {
  // "INTERNET_PER_CONN_OPTIONW structure (wininet.h)": on Windows 7 and later the connection
  // type is queried with INTERNET_PER_CONN_FLAGS_UI; when that query fails, the system predates
  // it and INTERNET_PER_CONN_FLAGS is asked instead.
  if (getter.queryConnection(connection, kOptionFlagsUi, settings, errorCode)) return true;
  return getter.queryConnection(connection, kOptionFlags, settings, errorCode);
}

std::vector<ConnectionOption> pacOptions(const std::string& url) {
  return {
      {kOptionAutoConfigUrl, url, 0},
      {kOptionFlags, {}, kProxyTypeAutoProxyUrl},
  };
}

bool setSystemPac(const std::string& url, InternetOptionSetter& options) {
  unsigned long errorCode = 0;
  if (!options.applyToConnection(kLanConnection, pacOptions(url), &errorCode)) {
    logError("设置PAC URL失败: ", errorCode);
    return false;
  }
  options.refresh();
  logLine("成功设置系统PAC为: ", url);
  return true;
}

bool resetSystemPac(InternetOptionSetter& options) {
  return applyResetOptions({{kOptionFlags, {}, kProxyTypeDirect}}, options);
}

bool restoreSystemPac(const ProxySettings& settings, InternetOptionSetter& options) {
  if (!applyResetOptions(restoreOptions(settings), options)) return false;
  logLine("系统代理已恢复为: ", describeProxySettings(settings));
  return true;
}

}  // namespace quillon
