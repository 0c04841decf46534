#include "proxy/proxy_session.h"

#include <algorithm>
#include <chrono>
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

// Opens a new connection to the upstream proxy. Its failures are logged, its success is not.
// An invalid Socket when it failed.
Socket dialUpstream(ProxyRun& run, const std::string& prefix) {
  const ProxyConfig& config = run.config;
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
  const auto dialled = std::chrono::steady_clock::now();
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
  // The spares start once the path is slow enough for them to save something.
  run.spares.handshakeMeasured(std::chrono::steady_clock::now() - dialled);
  return upstream;
}

// The session's upstream connection.
struct Upstream {
  Socket socket;  // invalid when none could be had (logged)
  bool spare = false;
  std::chrono::steady_clock::duration handshake{};  // of a spare: about one round trip
};

// Takes a ready spare, or opens a new connection when there is none. The two lines are the
// same either way; the second is written when the session has its connection.
Upstream connectUpstream(ProxyRun& run, const std::string& prefix) {
  logLine(prefix, "正在连接到目标代理: ", loggableText(run.config.proxyHost), ":",
          run.config.proxyPort);
  Upstream upstream;
  SpareConnection spare = run.spares.take();
  if (spare.socket.valid()) {
    upstream.socket = std::move(spare.socket);
    upstream.spare = true;
    upstream.handshake = spare.handshake;
  } else {
    upstream.socket = dialUpstream(run, prefix);
    if (!upstream.socket.valid()) return upstream;
  }
  logLine(prefix, "成功连接到目标代理服务器");
  return upstream;
}

// A plain request sent on a freshly taken spare: when only its head has gone upstream, waits
// (spareAnswerWaitMs and two of the spare's own handshakes, about two round trips) for the
// first answer byte. A close or reset before it means that the upstream dropped the spare as
// it was taken; the head then goes again on a new connection, and the client sees nothing of
// it. Nothing is sent again once the answer has begun, once the client has sent more (a body),
// or when more than the head went out. False when the new connection failed (logged).
bool resendIfTheSpareDied(ProxyRun& run, const std::string& prefix, TunnelSetup& setup,
                          const ClientRequest& request,
                          std::chrono::steady_clock::duration handshake) {
  if (request.upstreamBytes.size() != request.firstHeadSize) return true;
  const auto window = std::min<std::chrono::steady_clock::duration>(
      2 * handshake + std::chrono::milliseconds(run.timeouts.spareAnswerWaitMs),
      std::chrono::seconds(2) + std::chrono::milliseconds(run.timeouts.spareAnswerWaitMs));
  PollEntry entries[3] = {};
  entries[0].fd = setup.upstream.get();
  entries[0].events = kPollIn;
  entries[1].fd = setup.client.get();
  entries[1].events = kPollIn;
  entries[2].fd = run.stopSignal.pollHandle();
  entries[2].events = kPollIn;
  const int ready = pollSockets(
      entries, 3,
      static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(window).count()));
  if (ready <= 0 || entries[0].revents == 0) return true;
  char first = 0;
  const long peeked = peekSome(setup.upstream.get(), &first, 1);
  if (peeked > 0 || (peeked < 0 && lastSocketError() == wsa::kWouldBlock)) return true;

  SessionContext fresh{run, prefix, Socket(), dialUpstream(run, prefix), {}};
  if (!fresh.upstream.valid()) return false;
  if (!sendUpstream(fresh, std::string_view(request.upstreamBytes),
                    "发送HTTP请求头到目标代理失败: 错误码=")) {
    return false;
  }
  setup.upstream = std::move(fresh.upstream);
  return true;
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
  Upstream upstream = connectUpstream(run, prefix);
  if (!upstream.socket.valid()) return std::nullopt;
  SessionContext session{run, prefix, std::move(client), std::move(upstream.socket), {}};
  if (upstream.spare) {
    // A CONNECT that the spare leaves unanswered goes again on a new connection, once.
    session.redial = [&run, &prefix] { return dialUpstream(run, prefix); };
  }
  if (isConnect) return handleConnect(session, *request);
  std::optional<TunnelSetup> setup = forwardHttpRequest(session, *request);
  if (setup && upstream.spare &&
      !resendIfTheSpareDied(run, prefix, *setup, *request, upstream.handshake)) {
    return std::nullopt;
  }
  return setup;
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
