// The handler of "com.quillon.app/vpn": connecting and disconnecting (proxy, system PAC and
// DNS, with rollback), the single steps, state queries and the TCP connection records.
#include <string>
#include <utility>

#include "channels/app_state.h"
#include "channels/channel_arguments.h"
#include "log/app_log.h"
#include "log/log_text.h"
#include "system/system_dns.h"

namespace quillon {

namespace {

constexpr char kInvalidArguments[] = "INVALID_ARGUMENTS";
constexpr char kMissingArguments[] = "缺少必要参数";

void replyMissingArguments(ChannelResult& result) {
  result->Error(kInvalidArguments, kMissingArguments);
}

}  // namespace

void AppState::handleVpnMethodCall(const ChannelCall& call, ChannelResult result) {
  const std::string& method = call.methodName();
  logLine("收到VPN通道调用: ", loggableText(method));
  const flutter::EncodableValue& arguments = call.arguments();

  if (method == "startVpn") {
    startVpn(arguments, std::move(result));
  } else if (method == "stopVpn") {
    stopVpn(std::move(result));
  } else if (method == "isVpnConnected") {
    logLine("检查VPN连接状态: ", vpnConnected_ ? "已连接" : kNotConnected);
    result->Success(flutter::EncodableValue(vpnConnected_));
  } else if (method == "getCurrentServer") {
    result->Success(currentServerValue());
  } else if (method == "getActiveConnectionCount") {
    result->Success(flutter::EncodableValue(activeConnections_.load()));
  } else if (method == "recordTcpConnection") {
    recordTcpConnection(arguments, std::move(result));
  } else if (method == "getTcpConnections") {
    result->Success(tcpConnectionList());
  } else if (method == "clearTcpConnections") {
    tcpConnections_.clear();
    result->Success(flutter::EncodableValue(true));
  } else if (method == "startProxyServer") {
    startProxyServer(arguments, std::move(result));
  } else if (method == "stopProxyServer") {
    if (proxyRunning()) proxyServer_->stop();
    result->Success(flutter::EncodableValue(true));
    // The reply goes first; the outcome of switching to the other PAC file is only logged.
    network_.applyPac(kMacosPacUrl);
  } else if (method == "resetSystemPAC") {
    result->Success(flutter::EncodableValue(network_.resetPac()));
  } else if (method == "setSystemDNS") {
    setSystemDnsFromUi(arguments, std::move(result));
  } else if (method == "resetSystemDNS") {
    result->Success(flutter::EncodableValue(network_.resetDns()));
  } else if (method == "isProxyServerRunning") {
    result->Success(flutter::EncodableValue(proxyRunning()));
  } else {
    result->NotImplemented();
  }
}

void AppState::startVpn(const flutter::EncodableValue& arguments, ChannelResult result) {
  const flutter::EncodableMap* map = argumentMap(arguments);
  if (map == nullptr) {
    replyMissingArguments(result);
    return;
  }
  const std::string host = stringArgument(*map, "proxyHost");
  const int32_t port = int32Argument(*map, "proxyPort", 0);
  const std::string username = stringArgument(*map, "username");
  const std::string password = stringArgument(*map, "password");
  const std::string dnsServer = stringArgument(*map, "dnsServer");
  const std::string title = stringArgument(*map, "serverTitle");

  logLine("启动VPN连接到: ", loggableText(host), ":", port);
  // A port outside 1..65535 is refused here rather than cut to its low 16 bits, which would
  // silently connect somewhere else. (The proxy itself refuses an upstream that is its own
  // listener.)
  if (host.empty() || !isUsablePort(port)) {
    failStartVpn("代理服务器配置无效", StartVpnStage::kNothingStarted, result);
    return;
  }

  if (!proxyServer_->start(
          ProxyConfig{kLocalProxyPort, host, static_cast<uint16_t>(port), username, password})) {
    failStartVpn("启动代理服务器失败", StartVpnStage::kNothingStarted, result);
    return;
  }
  logLine("代理服务器启动成功在端口: ", kLocalProxyPort);
  logLine("正在设置PAC: ", kRoutePacUrl);
  logLine("请确认PAC文件包含将请求定向到本地代理 127.0.0.1:", kLocalProxyPort, " 的规则");
  // The PAC setting belongs to the account this process runs as, which is not always the one
  // whose browsers are meant to be routed.
  network_.warnIfAnotherAccount();

  if (!network_.applyPac(kRoutePacUrl)) {
    failStartVpn("设置系统PAC失败", StartVpnStage::kProxyStarted, result);
    return;
  }
  logLine("系统PAC设置成功");

  if (!dnsServer.empty()) {
    // setSystemDns refuses a server text that is not a dotted-quad address, so a malformed
    // one fails this step and is rolled back like any other DNS failure.
    if (!network_.applyDns(dnsServer)) {
      failStartVpn("设置系统DNS失败", StartVpnStage::kPacSet, result);
      return;
    }
    logLine("系统DNS设置成功: ", dnsServer);
  }

  vpnConnected_ = true;
  activeConnections_ = 1;
  currentServer_ = {host, port, title.empty() ? std::string("未命名服务器") : title};
  wait(std::chrono::milliseconds(500));
  bytesSent_ = 0;
  bytesReceived_ = 0;
  result->Success(flutter::EncodableValue(true));
}

// Writes `reason` to the error stream, undoes what this call had done up to `stage` (the PAC it
// set, then the proxy it started; a DNS step that failed leaves its adapters for "stopVpn"),
// and replies false. A proxy that was already running before the call is left running.
void AppState::failStartVpn(const char* reason, StartVpnStage stage, ChannelResult& result) {
  logError(reason);
  if (stage == StartVpnStage::kPacSet) network_.undoPac();
  if (stage != StartVpnStage::kNothingStarted) proxyServer_->stop();
  vpnConnected_ = false;
  result->Success(flutter::EncodableValue(false));
}

void AppState::stopVpn(ChannelResult result) {
  logLine("停止VPN连接");
  network_.resetDns();
  network_.undoPac();
  if (proxyRunning()) proxyServer_->stop();
  vpnConnected_ = false;
  activeConnections_ = 0;
  currentServer_ = CurrentServer{};
  wait(std::chrono::milliseconds(300));
  result->Success(flutter::EncodableValue(true));
}

void AppState::startProxyServer(const flutter::EncodableValue& arguments, ChannelResult result) {
  const flutter::EncodableMap* map = argumentMap(arguments);
  if (map == nullptr) {
    replyMissingArguments(result);
    return;
  }
  const int32_t localPort = int32Argument(*map, "proxyPort", kLocalProxyPort);
  const std::string host = stringArgument(*map, "proxyHost");
  const int32_t targetPort = int32Argument(*map, "proxyTargetPort", 0);
  const std::string username = stringArgument(*map, "username");
  const std::string password = stringArgument(*map, "password");

  bool started = false;
  if (!host.empty() && isUsablePort(localPort) && isUsablePort(targetPort)) {
    started =
        proxyServer_->start(ProxyConfig{static_cast<uint16_t>(localPort), host,
                                        static_cast<uint16_t>(targetPort), username, password});
  } else {
    logError("启动代理服务器失败: 无效的目标主机或端口");
  }
  result->Success(flutter::EncodableValue(started));
}

void AppState::recordTcpConnection(const flutter::EncodableValue& arguments, ChannelResult result) {
  const flutter::EncodableMap* map = argumentMap(arguments);
  if (map == nullptr) {
    replyMissingArguments(result);
    return;
  }
  const std::string sourceIp = stringArgument(*map, "sourceIp", "127.0.0.1");
  const int32_t sourcePort = int32Argument(*map, "sourcePort", 0);
  const std::string destIp = stringArgument(*map, "destIp");
  const int32_t destPort = int32Argument(*map, "destPort", 0);
  if (destIp.empty() || destPort <= 0) {
    result->Error(kInvalidArguments, "无效的目标IP地址或端口");
    return;
  }
  tcpConnections_.recordTcpConnection(sourceIp, sourcePort, destIp, destPort, false);
  result->Success(flutter::EncodableValue(false));
}

void AppState::setSystemDnsFromUi(const flutter::EncodableValue& arguments, ChannelResult result) {
  const flutter::EncodableMap* map = argumentMap(arguments);
  if (map == nullptr) {
    replyMissingArguments(result);
    return;
  }
  const std::string server = stringArgument(*map, "dnsServer");
  // Only a dotted-quad address may reach the adapters' command lines.
  if (!isDottedQuadIpv4(server)) {
    result->Error(kInvalidArguments, "无效的DNS服务器地址");
    return;
  }
  result->Success(flutter::EncodableValue(network_.applyDns(server)));
}

flutter::EncodableValue AppState::currentServerValue() const {
  return flutter::EncodableValue(flutter::EncodableMap{
      {flutter::EncodableValue("host"), flutter::EncodableValue(currentServer_.host)},
      {flutter::EncodableValue("port"), flutter::EncodableValue(currentServer_.port)},
      {flutter::EncodableValue("title"), flutter::EncodableValue(currentServer_.title)},
  });
}

flutter::EncodableValue AppState::tcpConnectionList() const {
  flutter::EncodableList list;
  for (const TcpConnectionRecord& record : tcpConnections_.snapshot()) {
    list.emplace_back(flutter::EncodableMap{
        {flutter::EncodableValue("sourceIp"), flutter::EncodableValue(record.sourceIp)},
        {flutter::EncodableValue("sourcePort"), flutter::EncodableValue(record.sourcePort)},
        {flutter::EncodableValue("destIp"), flutter::EncodableValue(record.destIp)},
        {flutter::EncodableValue("destPort"), flutter::EncodableValue(record.destPort)},
        {flutter::EncodableValue("isRouted"), flutter::EncodableValue(record.isRouted)},
        {flutter::EncodableValue("timestamp"), flutter::EncodableValue(record.timestamp)},
    });
  }
  return flutter::EncodableValue(std::move(list));
}

}  // namespace quillon
