#include "proxy/connect_tunnel.h"

#include "app/app_log.h"
#include "proxy/data_relay.h"
#include "proxy/local_proxy_server.h"
#include "proxy/proxy_text.h"

namespace quillon {

namespace {

constexpr size_t kReadSize = 8191;
constexpr size_t kAnswerHeadLimit = 16384;

// Accepted success markers, tried in this order.
constexpr const char* kAcceptedMarkers[] = {"200 Connection established", "200 OK", "HTTP/1.1 200",
                                            "HTTP/1.0 200"};

// Reads the upstream's answer head into `answer`. False (after the failure line) when the
// connection ended or failed before the head was complete. Every byte read is added to
// `bytesRead`, also on failure.
bool readAnswerHead(SocketHandle upstream, std::string& answer, int64_t& bytesRead,
                    const std::string& sessionPrefix) {
  char buffer[kReadSize + 1];
  for (;;) {
    const long n = recvSome(upstream, buffer, kReadSize);
    if (n <= 0) {
      logError(sessionPrefix, "接收目标代理响应失败");
      return false;
    }
    bytesRead += n;
    answer.append(buffer, static_cast<size_t>(n));
    if (answer.find("\r\n\r\n") != std::string::npos) return true;
    if (answer.size() > kAnswerHeadLimit) {
      logError(sessionPrefix, "响应头过大，可能不完整");
      return true;
    }
  }
}

}  // namespace

std::string buildConnectRequest(const std::string& host, int32_t port,
                                const std::string& authorizationLine) {
  const std::string authority = host + ":" + std::to_string(port);
  std::string request = "CONNECT " + authority + " HTTP/1.1\r\nHost: " + authority + "\r\n";
  request += authorizationLine;
  request += kKeepAliveTail;
  return request;
}

bool connectAnswerAccepted(const std::string& answer) {
  // Only the status line decides: a refusal whose page happens to say "200 OK" stays refused.
  const std::string statusLine = answer.substr(0, answer.find('\n'));
  for (const char* marker : kAcceptedMarkers) {
    if (statusLine.find(marker) != std::string::npos) return true;
  }
  return false;
}

bool handleConnect(LocalProxyServer& server, Socket& client, Socket& upstream,
                   const std::string& target, const std::string& requestHead,
                   const std::string& sessionPrefix) {
  ProxyCore& core = *server.core();
  const size_t colon = target.find(':');
  if (target.empty() || colon == std::string::npos) {
    logError(sessionPrefix, "无效的CONNECT请求格式");
    upstream.reset();
    return false;
  }
  const std::string host = target.substr(0, colon);
  const std::optional<int32_t> port = parseLenientInt(std::string_view(target).substr(colon + 1));
  if (!port) {
    logError(sessionPrefix, "CONNECT请求中的端口无效");
    upstream.reset();
    return false;
  }

  const ProxyConfig& config = server.config();
  const std::string request = buildConnectRequest(
      host, *port, proxyAuthorizationLine(config.username, config.password, sessionPrefix));
  if (!sendCounted(core, upstream.get(), request)) {
    logError(sessionPrefix, "发送CONNECT请求到目标代理失败: 错误码=", lastSocketError());
    upstream.reset();
    return false;
  }

  logLine(sessionPrefix, "等待目标代理的响应...");
  const int ready = waitReadable(upstream.get(), server.timeouts().upstreamAnswerMs);
  if (ready <= 0) {
    if (ready == 0) {
      logError(sessionPrefix, "等待目标代理响应超时");
    } else {
      logError(sessionPrefix, "select错误: ", lastSocketError());
    }
    upstream.reset();
    return false;
  }

  std::string answer;
  int64_t bytesRead = 0;
  if (!readAnswerHead(upstream.get(), answer, bytesRead, sessionPrefix)) {
    core.addReceived(bytesRead);
    upstream.reset();
    return false;
  }
  if (!connectAnswerAccepted(answer)) {
    core.addReceived(bytesRead);
    logError(sessionPrefix, "目标代理拒绝了CONNECT请求，响应码不是200");
    upstream.reset();
    return false;
  }
  // The head counts as handshake bytes now; whatever followed it in the same reads goes to the
  // client through the relay, which counts it when it has been delivered.
  std::string upstreamEarly = bytesAfterHead(answer);
  core.addReceived(bytesRead - static_cast<int64_t>(upstreamEarly.size()));

  logLine(sessionPrefix, "CONNECT请求成功，隧道已建立");
  const size_t replySize = sizeof kConnectEstablishedReply - 1;
  const size_t replied = sendAll(client.get(), kConnectEstablishedReply, replySize);
  logLine(sessionPrefix, "已发送 ", replied == replySize ? static_cast<long>(replied) : -1L,
          " 字节的'Connection Established'响应给客户端");

  if (!startTunnelRelays(server.core(), client, upstream, sessionPrefix,
                         sessionPrefix + "tunnel-" + target, bytesAfterHead(requestHead),
                         std::move(upstreamEarly))) {
    return false;
  }
  logLine(sessionPrefix, "HTTPS隧道已建立，双向转发线程已启动");
  return true;
}

}  // namespace quillon
