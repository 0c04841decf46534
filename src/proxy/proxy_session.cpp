#include "proxy/proxy_session.h"

#include <optional>

#include "log/app_log.h"
#include "log/log_text.h"
#include "proxy/connect_tunnel.h"
#include "proxy/data_relay.h"
#include "proxy/http_exchange.h"
#include "proxy/http_forward.h"
#include "proxy/http_head.h"
#include "proxy/proxy_run.h"
#include "proxy/proxy_text.h"
#include "proxy/session_handshake.h"

namespace quillon {

namespace {

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

// Ends the session's count in its run exactly once: at the hand-over, or when the session
// fails.
class SessionCount {
 public:
  explicit SessionCount(ProxyRun& run) : run_(&run) {}
  ~SessionCount() { end(); }
  SessionCount(const SessionCount&) = delete;
  SessionCount& operator=(const SessionCount&) = delete;
  void end() {
    if (run_ != nullptr) std::exchange(run_, nullptr)->sessionEnded();
  }

 private:
  ProxyRun* run_;
};

// Opens the upstream connection. An invalid Socket when that failed (the reason is logged).
Socket connectUpstream(ProxyRun& run, const std::string& prefix) {
  const ProxyConfig& config = run.config;
  logLine(prefix, "正在连接到目标代理: ", loggableText(config.proxyHost), ":", config.proxyPort);
  Socket upstream(openTcpSocket());
  if (!upstream.valid()) {
    logError(prefix, "创建目标代理socket失败: ", lastSocketError());
    return Socket();
  }
  tuneSocket(upstream.get());

  sockaddr_in address{};
  const int resolved = run.resolver(config.proxyHost, config.proxyPort, address);
  if (resolved != 0) {
    logError(prefix, "解析目标代理地址失败: ", resolved);
    return Socket();
  }
  const IoResult connected = connectWithin(
      upstream.get(), address, deadlineIn(run.timeouts.upstreamConnectMs), &run.stopSignal);
  if (connected == IoResult::kStopped) {
    logError(prefix, kSessionStoppedLine);
    return Socket();
  }
  if (connected != IoResult::kDone) {
    const int code = lastSocketError();
    logError(prefix, "连接到目标代理失败: 错误码=", code, connectErrorText(code));
    return Socket();
  }
  logLine(prefix, "成功连接到目标代理服务器");
  return upstream;
}

// Reads the client's first request and checks it with the rewriter. Empty when it was refused
// or did not arrive (logged); `headRead` tells whether a whole head arrived. Requests accepted
// before a refused one in the same read are kept: they go upstream, and the connection ends
// once their answers are back.
std::optional<ClientRequest> readRequest(ProxyRun& run, SocketHandle client,
                                         const std::string& prefix, bool& headRead) {
  ClientRequest request;
  request.rewriter = std::make_unique<RequestStreamRewriter>(run.authorizationLine);
  bool anyByte = false;
  FeedResult fed;
  const IoResult read = readUntil(
      client, deadlineIn(run.timeouts.clientHeadMs), &run.stopSignal, [&](std::string_view chunk) {
        anyByte = true;
        fed = request.rewriter->feed(chunk, request.upstreamBytes);
        if (fed.verdict == StreamVerdict::kConnect ||
            fed.verdict == StreamVerdict::kAwaitingAnswer) {
          request.early.assign(chunk.substr(fed.consumed));
        }
        return fed.verdict != StreamVerdict::kForwarding || !fed.requests.empty();
      });
  headRead = read == IoResult::kDone;
  if (read != IoResult::kDone) {
    // A head that has not ended is never forwarded: it goes nowhere, with one line.
    if (read == IoResult::kStopped) {
      logError(prefix, kSessionStoppedLine);
    } else if (read == IoResult::kTimedOut && anyByte) {
      logError(prefix, faultText(RequestFault::kHeadTimedOut));
    } else {
      logError(prefix, "接收客户端请求失败或连接已断开");
    }
    return std::nullopt;
  }
  if (fed.requests.empty()) {
    logError(prefix, faultText(fed.fault));
    return std::nullopt;
  }
  const RequestReport& first = fed.requests.front();
  logRequest(prefix, first);
  request.method = first.method;
  request.target = first.target;
  request.authorizationAdded = first.authorizationAdded;
  request.upgrade = first.upgrade;
  request.firstHeadSize = first.headBytes;
  request.earlyBodyBytes = fed.bodyBytes;
  request.isConnect = fed.verdict == StreamVerdict::kConnect;
  request.laterRequests.assign(fed.requests.begin() + 1, fed.requests.end());
  if (request.isConnect) request.rewriter.reset();
  return request;
}

// Everything from the first request to a ready tunnel. Empty when the session failed (logged;
// the client socket is closed). `handled` tells whether a whole head arrived.
std::optional<TunnelSetup> setUpTunnel(ProxyRun& run, Socket client, const std::string& prefix,
                                       bool& handled, bool& isConnect) {
  std::optional<ClientRequest> request = readRequest(run, client.get(), prefix, handled);
  if (!request) return std::nullopt;
  isConnect = request->isConnect;
  SessionContext session{run, prefix, std::move(client), Socket()};
  session.upstream = connectUpstream(run, prefix);
  if (!session.upstream.valid()) return std::nullopt;
  return isConnect ? handleConnect(session, *request) : forwardHttpRequest(session, *request);
}

}  // namespace

void serveSession(std::shared_ptr<ProxyRun> run, Socket client, int connectionId) {
  SessionCount count(*run);
  const std::string prefix = sessionPrefixFor(connectionId);
  logLine(prefix, "新客户端连接");

  bool handled = false;
  bool isConnect = false;
  std::optional<TunnelSetup> setup =
      setUpTunnel(*run, std::move(client), prefix, handled, isConnect);
  if (!setup) {
    if (handled) logLine(prefix, "客户端连接处理完成");
    return;
  }
  Tunnel tunnel(std::move(*setup));
  logLine(prefix,
          isConnect ? "HTTPS隧道已建立，双向转发线程已启动" : "HTTP请求已处理，双向转发线程已启动");
  count.end();
  logLine(prefix, "客户端连接处理完成");
  // The tunnel needs nothing of the run: a stopped or destroyed server does not touch it.
  run.reset();
  tunnel.run();
}

}  // namespace quillon
