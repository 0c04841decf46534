#include "proxy/session_handshake.h"

#include "log/app_log.h"
#include "proxy/proxy_run.h"

namespace quillon {

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

void logHandshakeFailure(const std::string& prefix, IoResult result, const char* failure,
                         const char* timedOut) {
  if (result == IoResult::kStopped) {
    logError(prefix, kSessionStoppedLine);
  } else if (result == IoResult::kTimedOut) {
    logError(prefix, timedOut);
  } else {
    logError(prefix, failure);
  }
}

bool sendUpstream(SessionContext& session, std::string_view bytes, const char* failure) {
  ProxyRun& run = session.run;
  size_t sent = 0;
  const IoResult result = sendWithin(session.upstream.get(), bytes,
                                     deadlineIn(run.timeouts.upstreamIoMs), &run.stopSignal, sent);
  run.core->addSent(static_cast<int64_t>(sent));
  if (result == IoResult::kDone) return true;
  if (result == IoResult::kStopped) {
    logError(session.prefix, kSessionStoppedLine);
  } else {
    logError(session.prefix, failure, lastSocketError());
  }
  session.upstream.reset();
  return false;
}

}  // namespace quillon
