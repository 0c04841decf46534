// What a session and the two paths it hands over to (CONNECT tunnelling and plain HTTP
// forwarding) share while they set a connection up: the client's first request as read and
// checked, the session's sockets, and the sends and log lines of the handshake with the
// upstream proxy.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "proxy/request_stream.h"
#include "proxy/session_io.h"
#include "proxy/socket_compat.h"

namespace quillon {

struct ProxyRun;

// The failure line of a session that stop() interrupted.
inline constexpr char kSessionStoppedLine[] = "代理服务器正在停止，会话已结束";

// "[会话-<id>] ", the start of every line written for one client connection.
std::string sessionPrefixFor(int connectionId);

// The client's first request, read and checked before any upstream connection is opened.
struct ClientRequest {
  // Of the first request, as the client sent them.
  std::string method;
  std::string target;
  bool isConnect = false;
  bool authorizationAdded = false;
  bool upgrade = false;
  // What goes upstream for the bytes read so far: the first request's rebuilt head
  // (firstHeadSize bytes; for CONNECT the proxy's own CONNECT request), then whatever followed
  // it (plain HTTP: its body and later requests).
  std::string upstreamBytes;
  size_t firstHeadSize = 0;
  // Plain HTTP: of the bytes after the first head, how many are bodies (not later heads).
  size_t earlyBodyBytes = 0;
  // Plain HTTP: later requests among the bytes read so far, for their log lines.
  std::vector<RequestReport> laterRequests;
  // CONNECT: the bytes the client sent after its head, forwarded once the tunnel is up. Plain
  // HTTP: the bytes after a request that asked for an upgrade, kept until its answer is known.
  std::string early;
  // Plain HTTP: the rewriter, which goes on with the connection's later requests.
  std::unique_ptr<RequestStreamRewriter> rewriter;
};

// A session's view of its connection while it sets up: what the CONNECT and plain HTTP paths
// need. The paths close `upstream` themselves when they fail; the session closes `client`.
struct SessionContext {
  ProxyRun& run;
  const std::string& prefix;
  Socket client;
  Socket upstream;
  // Set while `upstream` is a freshly taken spare: opens a new upstream connection (logging
  // only its failures), for a request the spare leaves unanswered. Used at most once.
  std::function<Socket()> redial;
};

// Logs the line for a failed or interrupted operation of the handshake with the upstream:
// `failure` for kClosed and kFailed, `timedOut` for kTimedOut, the stop line for kStopped.
void logHandshakeFailure(const std::string& prefix, IoResult result, const char* failure,
                         const char* timedOut);

// Sends `bytes` to the upstream within the handshake's time limit and counts what went out.
// On failure logs `failure` followed by the error code (or the stop line), closes the
// upstream socket and returns false.
bool sendUpstream(SessionContext& session, std::string_view bytes, const char* failure);
// The same without the line and without closing: the result, with lastSocketError() set on
// kFailed.
IoResult sendToUpstream(SessionContext& session, std::string_view bytes);
// Logs a failed send as sendUpstream does.
void logSendFailure(const std::string& prefix, IoResult result, int code, const char* failure);

enum class Redial { kNotAllowed, kDone, kFailed };
// When the upstream was a freshly taken spare that ended before answering anything (a failed
// send, or a close or reset before the first answer byte), replaces it with a new connection:
// kDone, and the request goes again; kFailed when that failed (logged, `session.upstream` is
// closed); kNotAllowed when the upstream was no spare or this was done already.
Redial redialUnanswered(SessionContext& session);

}  // namespace quillon
