// CONNECT tunnelling: asks the upstream proxy for a tunnel to the client's target, confirms
// it to the client and prepares the tunnel that relays the connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "proxy/data_relay.h"
#include "proxy/proxy_session.h"

namespace quillon {

// The CONNECT request sent upstream for `host`:`port`, with `authorizationLine` (possibly "")
// as its third line.
std::string buildConnectRequest(const std::string& host, int32_t port,
                                const std::string& authorizationLine);

// The fixed reply the client gets once the tunnel is open.
inline constexpr char kConnectEstablishedReply[] = "HTTP/1.1 200 Connection Established\r\n\r\n";

// Runs the CONNECT handshake on the session thread. The tunnel to run when the upstream proxy
// opened it and the client was told; empty when the handshake failed (the reason is logged,
// `session.upstream` is closed).
std::optional<TunnelSetup> handleConnect(SessionContext& session, ClientRequest& request);

}  // namespace quillon
