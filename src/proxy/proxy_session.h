// One accepted client while it is being set up: read its request head, check it, connect to the
// upstream proxy and hand over to the CONNECT or the plain HTTP path; then, on the same thread,
// relay the connection until it ends.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "proxy/session_io.h"
#include "proxy/socket_compat.h"

namespace quillon {

struct ProxyRun;

// Sets the two options every client and upstream socket gets; a failing option is logged.
// False when TCP_NODELAY or SO_KEEPALIVE could not be set (the socket is usable anyway).
// The buffer sizes are left to the system, which grows them with the connection's window.
bool tuneSocket(SocketHandle socket);

// "[会话-<id>] ", the start of every line written for one client connection.
std::string sessionPrefixFor(int connectionId);

// The body of a client's job. The listener has counted the session in `run` (sessionBegan);
// the session ends it once it has handed over or failed.
void serveSession(std::shared_ptr<ProxyRun> run, Socket client, int connectionId);

class RequestFilter;

// The client's first request, examined before any upstream connection is opened.
struct ClientRequest {
  std::string method;
  std::string target;
  std::string version;
  bool isConnect = false;
  // CONNECT: where the tunnel goes.
  std::string connectHost;
  int connectPort = 0;
  // CONNECT: the bytes the client sent after its head, forwarded once the tunnel is up.
  std::string early;
  // Plain HTTP: the rewriter of the client's requests, and what it made of the bytes read so
  // far (the first request's new head, then whatever followed it).
  std::unique_ptr<RequestFilter> filter;
  std::string upstreamBytes;
  size_t firstHeadSize = 0;
};

// A session's view of its connection while it sets up: what the CONNECT and plain HTTP paths
// need. The paths close `upstream` themselves when they fail; the session closes `client`.
struct SessionContext {
  ProxyRun& run;
  const std::string& prefix;
  Socket client;
  Socket upstream;
};

// Logs the line for a failed or interrupted operation of the handshake with the upstream:
// `failure` for kClosed and kFailed, `timedOut` for kTimedOut, the stop line for kStopped.
void logHandshakeFailure(const std::string& prefix, IoResult result, const char* failure,
                         const char* timedOut);

// Sends `bytes` to the upstream within the handshake's time limit and counts what went out.
// On failure logs `failure` followed by the error code (or the stop line), closes the
// upstream socket and returns false.
bool sendUpstream(SessionContext& session, std::string_view bytes, const char* failure);

}  // namespace quillon
