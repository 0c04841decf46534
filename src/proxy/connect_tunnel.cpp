#include "proxy/connect_tunnel.h"

#include "log/app_log.h"
#include "log/log_text.h"
#include "proxy/http_head.h"
#include "proxy/proxy_run.h"

namespace quillon {

std::optional<TunnelSetup> handleConnect(SessionContext& session, ClientRequest& request) {
  ProxyRun& run = session.run;
  const std::string& prefix = session.prefix;
  if (request.authorizationAdded) logLine(prefix, "已添加代理认证头 (Basic认证)");
  bool waitLogged = false;
  std::string answer;
  ConnectAnswer judged;
  for (;;) {
    const IoResult sent = sendToUpstream(session, request.upstreamBytes);
    if (sent != IoResult::kDone) {
      const int code = lastSocketError();
      if (sent != IoResult::kStopped) {
        const Redial redial = redialUnanswered(session);
        if (redial == Redial::kDone) continue;
        if (redial == Redial::kFailed) return std::nullopt;
      }
      logSendFailure(prefix, sent, code, "发送CONNECT请求到目标代理失败: 错误码=");
      session.upstream.reset();
      return std::nullopt;
    }
    if (!waitLogged) logLine(prefix, "等待目标代理的响应...");
    waitLogged = true;
    const IoResult read =
        readUntil(session.upstream.get(), deadlineIn(run.timeouts.upstreamAnswerMs),
                  &run.stopSignal, [&](std::string_view chunk) {
                    answer.append(chunk);
                    judged = judgeConnectAnswer(answer);
                    return judged.verdict != AnswerVerdict::kNeedMore;
                  });
    // A spare that the upstream dropped as it was taken ends before the first answer byte.
    if (answer.empty() && (read == IoResult::kClosed || read == IoResult::kFailed)) {
      const Redial redial = redialUnanswered(session);
      if (redial == Redial::kDone) continue;
      if (redial == Redial::kFailed) return std::nullopt;
    }
    if (read == IoResult::kDone && judged.verdict == AnswerVerdict::kOpen) break;
    // Every byte read during a failed handshake counts as received.
    run.core->addReceived(static_cast<int64_t>(answer.size()));
    if (read != IoResult::kDone) {
      logHandshakeFailure(prefix, read, "接收目标代理响应失败", "等待目标代理响应超时");
    } else {
      logError(prefix, answerFailureText(judged.verdict));
    }
    session.upstream.reset();
    return std::nullopt;
  }
  // The heads count as handshake bytes now; whatever followed them goes to the client through
  // the tunnel, which counts it when it has been delivered.
  run.core->addReceived(static_cast<int64_t>(judged.bodyStart));

  logLine(prefix, "CONNECT请求成功，隧道已建立");
  const std::string_view reply(kConnectEstablishedReply, sizeof kConnectEstablishedReply - 1);
  size_t replied = 0;
  const IoResult replyResult = sendWithin(
      session.client.get(), reply, deadlineIn(run.timeouts.upstreamIoMs), &run.stopSignal, replied);
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
  setup.toClient = answer.substr(judged.bodyStart);
  return setup;
}

}  // namespace quillon
