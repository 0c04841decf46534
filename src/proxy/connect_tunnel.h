// CONNECT tunnelling: asks the upstream proxy for a tunnel to the client's target, confirms
// it to the client and hands both sockets to the relay threads.
#pragma once

#include <cstdint>
#include <string>

#include "proxy/socket_compat.h"

namespace quillon {

class LocalProxyServer;

// The CONNECT request sent upstream for `host`:`port`, with `authorizationLine` (possibly "")
// as its third line.
std::string buildConnectRequest(const std::string& host, int32_t port,
                                const std::string& authorizationLine);

// Whether the upstream proxy's answer opens the tunnel: its status line holds one of the
// accepted success markers.
bool connectAnswerAccepted(const std::string& answer);

// The fixed reply the client gets once the tunnel is open.
inline constexpr char kConnectEstablishedReply[] = "HTTP/1.1 200 Connection Established\r\n\r\n";

// Runs the CONNECT handshake on the session thread. True: the tunnel runs and both sockets
// belong to its relay threads (the caller's Socket objects are empty). False: the reason is
// logged and the upstream socket is closed; the caller closes the client socket (if it still
// holds it). `requestHead` is everything read from the client; bytes after its blank line are
// forwarded once the tunnel is up.
bool handleConnect(LocalProxyServer& server, Socket& client, Socket& upstream,
                   const std::string& target, const std::string& requestHead,
                   const std::string& sessionPrefix);

}  // namespace quillon
