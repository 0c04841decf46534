#include "proxy/session_handshake.h"

#include <utility>

#include "log/app_log.h"
#include "proxy/proxy_run.h"

namespace quillon {

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

IoResult sendToUpstream(SessionContext& session, std::string_view bytes) {
  ProxyRun& run = session.run;
  size_t sent = 0;
  const IoResult result = sendWithin(session.upstream.get(), bytes,
                                     deadlineIn(run.timeouts.upstreamIoMs), &run.stopSignal, sent);
  const int code = lastSocketError();
  run.core->addSent(static_cast<int64_t>(sent));
  setLastSocketError(code);
  return result;
}

void logSendFailure(const std::string& prefix, IoResult result, int code, const char* failure) {
  if (result == IoResult::kStopped) {
    logError(prefix, kSessionStoppedLine);
  } else {
    logError(prefix, failure, code);
  }
}

bool sendUpstream(SessionContext& session, std::string_view bytes, const char* failure) {
  const IoResult result = sendToUpstream(session, bytes);
  if (result == IoResult::kDone) return true;
  logSendFailure(session.prefix, result, lastSocketError(), failure);
  session.upstream.reset();
  return false;
}

Redial redialUnanswered(SessionContext& session) {
  if (!session.redial) return Redial::kNotAllowed;
  const std::function<Socket()> redial = std::exchange(session.redial, nullptr);
  session.upstream = redial();
  return session.upstream.valid() ? Redial::kDone : Redial::kFailed;
}

}  // namespace quillon
