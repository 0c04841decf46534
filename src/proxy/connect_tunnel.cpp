#include "proxy/connect_tunnel.h"

#include "app/app_log.h"
#include "proxy/http_head.h"
#include "proxy/proxy_run.h"
#include "proxy/proxy_text.h"

namespace quillon {

namespace {

constexpr char kAnswerFailed[] = "接收目标代理响应失败";
constexpr char kAnswerTimedOut[] = "等待目标代理响应超时";

// Reads the upstream's answer within one deadline for all of it, skipping interim (1xx)
// answers. The status of the final answer, or empty when it could not be read (logged).
// `answer` keeps the bytes after the final head; `received` counts every byte read.
std::optional<int> readFinalAnswer(SessionContext& session, std::string& answer,
                                   int64_t& received) {
  ProxyRun& run = session.run;
  const Deadline deadline = deadlineIn(run.timeouts.upstreamAnswerMs);
  for (;;) {
    bool tooLarge = false;
    const IoResult read =
        readHead(session.upstream.get(), answer, deadline, &run.stopSignal, tooLarge, received);
    if (tooLarge) {
      logError(session.prefix, "响应头过大，可能不完整");
      return std::nullopt;
    }
    if (read != IoResult::kDone) {
      logHandshakeFailure(session.prefix, read, kAnswerFailed, kAnswerTimedOut);
      return std::nullopt;
    }
    const size_t end = findHeadEnd(answer);
    const std::optional<int> status = parseStatusLine(answer.substr(0, end));
    answer.erase(0, end);
    if (!status || *status >= 200 || *status < 100) return status.value_or(0);
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

std::optional<TunnelSetup> handleConnect(SessionContext& session, ClientRequest& request) {
  ProxyRun& run = session.run;
  ProxyCore& core = *run.core;
  const std::string& prefix = session.prefix;
  const ProxyConfig& config = run.config;
  const std::string connectRequest =
      buildConnectRequest(request.connectHost, request.connectPort,
                          proxyAuthorizationLine(config.username, config.password, prefix));
  if (!sendUpstream(session, connectRequest, "发送CONNECT请求到目标代理失败: 错误码=")) {
    return std::nullopt;
  }

  logLine(prefix, "等待目标代理的响应...");
  std::string answer;
  int64_t received = 0;
  const std::optional<int> status = readFinalAnswer(session, answer, received);
  if (!status || *status < 200 || *status > 299) {
    core.addReceived(received);
    if (status) logError(prefix, "目标代理拒绝了CONNECT请求，响应码不是200");
    session.upstream.reset();
    return std::nullopt;
  }
  // The heads count as handshake bytes now; whatever followed them goes to the client through
  // the tunnel, which counts it when it has been delivered.
  core.addReceived(received - static_cast<int64_t>(answer.size()));

  logLine(prefix, "CONNECT请求成功，隧道已建立");
  const std::string_view reply(kConnectEstablishedReply, sizeof kConnectEstablishedReply - 1);
  size_t replied = 0;
  const IoResult replyResult = sendWithin(session.client.get(), reply,
                                          deadlineIn(run.timeouts.upstreamIoMs), &run.stopSignal,
                                          replied);
  logLine(prefix, "已发送 ", replyResult == IoResult::kDone ? static_cast<long>(replied) : -1L,
          " 字节的'Connection Established'响应给客户端");
  if (replyResult != IoResult::kDone) {
    session.upstream.reset();
    return std::nullopt;
  }

  TunnelSetup setup;
  setup.core = run.core;
  setup.client = std::move(session.client);
  setup.upstream = std::move(session.upstream);
  setup.sessionPrefix = prefix;
  setup.baseId = prefix + "tunnel-" + loggableText(request.target);
  setup.toUpstream = std::move(request.early);
  setup.toClient = std::move(answer);
  return setup;
}

}  // namespace quillon
