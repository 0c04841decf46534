// One accepted client while it is being set up: read its request head, connect to the
// upstream proxy and hand over to the CONNECT or the plain HTTP path.
#pragma once

#include <string>

#include "proxy/socket_compat.h"

namespace quillon {

class LocalProxyServer;

// Sets TCP_NODELAY and SO_KEEPALIVE, the options every client and upstream socket gets; a
// failing option is logged and the rest are not tried. False when either could not be set (the
// socket is usable anyway). The buffer sizes stay the system's.
bool tuneSocket(SocketHandle socket);

// "[会话-<id>] ", the start of every line written for one client connection.
std::string sessionPrefixFor(int connectionId);

// The body of a session thread. Owns `client` until a hand-over succeeds.
void serveSession(LocalProxyServer& server, Socket client, int connectionId);

// Connects to the upstream proxy and runs the hand-over for `requestHead`. True: both sockets
// belong to relay threads (`client` is empty). False: the reason is logged and the upstream
// side is closed; the caller closes `client` if it still holds it.
bool connectUpstream(LocalProxyServer& server, Socket& client, const std::string& requestHead,
                     const std::string& sessionPrefix);

}  // namespace quillon
