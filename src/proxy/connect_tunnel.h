// CONNECT tunnelling: asks the upstream proxy for a tunnel to the client's target, confirms
// it to the client and prepares the tunnel that relays the connection.
#pragma once

#include <optional>

#include "proxy/data_relay.h"
#include "proxy/session_handshake.h"

namespace quillon {

// The fixed reply the client gets once the tunnel is open.
inline constexpr char kConnectEstablishedReply[] = "HTTP/1.1 200 Connection Established\r\n\r\n";

// Runs the CONNECT handshake on the session thread: sends the proxy's own CONNECT request
// (`request.upstreamBytes`), reads the upstream's answer (interim answers skipped, all of it
// within one deadline) and on a 2xx answer confirms the tunnel to the client. The tunnel to
// run, or empty when the handshake failed (the reason is logged, `session.upstream` is
// closed).
std::optional<TunnelSetup> handleConnect(SessionContext& session, ClientRequest& request);

}  // namespace quillon
