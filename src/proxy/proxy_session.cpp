#include "proxy/proxy_session.h"

#include <chrono>
#include <memory>

#include "app/app_log.h"
#include "proxy/connect_tunnel.h"
#include "proxy/http_forward.h"
#include "proxy/local_proxy_server.h"

namespace quillon {

namespace {

constexpr size_t kReadSize = 8191;
constexpr size_t kRequestHeadLimit = 16384;

using Clock = std::chrono::steady_clock;

// Reads the request head within one overall deadline, so that a client trickling single bytes
// cannot hold the session. Returns what arrived (empty when nothing did).
std::string readRequestHead(SocketHandle client, int deadlineMs, const std::string& prefix) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(deadlineMs);
  std::string head;
  char buffer[kReadSize + 1];
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0 || waitReadable(client, static_cast<int>(left)) <= 0) return head;
    const long n = recvSome(client, buffer, kReadSize);
    if (n <= 0) return head;
    head.append(buffer, static_cast<size_t>(n));
    if (head.find("\r\n\r\n") != std::string::npos) return head;
    if (head.size() > kRequestHeadLimit) {
      logError(prefix, "请求头过大，可能不完整");
      return head;
    }
  }
}

struct RequestLine {
  std::string method;
  std::string target;
  std::string version;
};

bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

RequestLine parseRequestLine(const std::string& head) {
  const std::string line = head.substr(0, head.find('\n'));
  std::string* fields[] = {nullptr, nullptr, nullptr};
  RequestLine result;
  fields[0] = &result.method;
  fields[1] = &result.target;
  fields[2] = &result.version;
  size_t pos = 0;
  for (std::string* field : fields) {
    while (pos < line.size() && isSpace(line[pos])) ++pos;
    const size_t start = pos;
    while (pos < line.size() && !isSpace(line[pos])) ++pos;
    *field = line.substr(start, pos - start);
  }
  return result;
}

const char* connectErrorText(int code) {
  switch (code) {
    case wsa::kAddrNotAvail:
      return " (地址不可用)";
    case wsa::kNetUnreach:
      return " (网络不可达)";
    case wsa::kTimedOut:
      return " (连接超时)";
    case wsa::kConnRefused:
      return " (连接被拒绝)";
    case wsa::kHostUnreach:
      return " (无法到达主机)";
    default:
      return "";
  }
}

struct AddressListDeleter {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

}  // namespace

bool tuneSocket(SocketHandle socket) {
  if (!setIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1)) {
    logError("设置TCP_NODELAY选项失败: ", lastSocketError());
    return false;
  }
  if (!setIntOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1)) {
    logError("设置SO_KEEPALIVE选项失败: ", lastSocketError());
    return false;
  }
  // The send and receive buffers are left to the system: a fixed receive buffer caps the TCP
  // window, and with it every download, at buffer size / round trip (64 KiB over 100 ms is
  // about 5 Mbit/s), and on Windows it also turns receive-window auto-tuning off.
  return true;
}

std::string sessionPrefixFor(int connectionId) {
  return "[会话-" + std::to_string(connectionId) + "] ";
}

void serveSession(LocalProxyServer& server, Socket client, int connectionId) {
  const std::string prefix = sessionPrefixFor(connectionId);
  logLine(prefix, "新客户端连接");
  const int headMs = server.timeouts().clientHeadMs;
  if (!setReceiveTimeoutMs(client.get(), headMs)) {
    logError(prefix, "设置接收超时失败: ", lastSocketError());
  }
  const std::string head = readRequestHead(client.get(), headMs, prefix);
  if (head.empty()) {
    logError(prefix, "接收客户端请求失败或连接已断开");
    return;
  }
  connectUpstream(server, client, head, prefix);
  client.reset();
  logLine(prefix, "客户端连接处理完成");
}

bool connectUpstream(LocalProxyServer& server, Socket& client, const std::string& requestHead,
                     const std::string& sessionPrefix) {
  const RequestLine request = parseRequestLine(requestHead);
  const ProxyConfig& config = server.config();
  const ProxyTimeouts& timeouts = server.timeouts();
  logLine(sessionPrefix, "处理 ", request.method, " 请求: ", request.target);
  logLine(sessionPrefix, "正在连接到目标代理: ", config.proxyHost, ":", config.proxyPort);

  Socket upstream(openTcpSocket());
  if (!upstream.valid()) {
    logError(sessionPrefix, "创建目标代理socket失败: ", lastSocketError());
    return false;
  }
  tuneSocket(upstream.get());
  if (!setSendTimeoutMs(upstream.get(), timeouts.upstreamIoMs)) {
    logError(sessionPrefix, "设置发送超时失败: ", lastSocketError());
  }
  if (!setReceiveTimeoutMs(upstream.get(), timeouts.upstreamIoMs)) {
    logError(sessionPrefix, "设置接收超时失败: ", lastSocketError());
  }

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int resolved = ::getaddrinfo(config.proxyHost.c_str(),
                                     std::to_string(config.proxyPort).c_str(), &hints, &found);
  if (resolved != 0) {
    logError(sessionPrefix, "解析目标代理地址失败: ", resolverErrorCode(resolved));
    return false;
  }
  const std::unique_ptr<addrinfo, AddressListDeleter> addresses(found);
  if (!connectWithTimeout(upstream.get(), found->ai_addr, static_cast<int>(found->ai_addrlen),
                          timeouts.upstreamConnectMs)) {
    const int code = lastSocketError();
    logError(sessionPrefix, "连接到目标代理失败: 错误码=", code, connectErrorText(code));
    return false;
  }
  logLine(sessionPrefix, "成功连接到目标代理服务器");

  if (request.method == "CONNECT") {
    return handleConnect(server, client, upstream, request.target, requestHead, sessionPrefix);
  }
  return forwardHttpRequest(server, client, upstream, request.method, request.target,
                            request.version, requestHead, sessionPrefix);
}

}  // namespace quillon
