// Plain HTTP forwarding: every request of a client connection is rebuilt for the upstream
// proxy with the credentials (the request rewriter); the first one, with whatever followed it,
// is sent on the session thread, the rest as the tunnel carries the client's bytes.
#pragma once

#include <optional>

#include "proxy/data_relay.h"
#include "proxy/session_handshake.h"

namespace quillon {

// Sends the rewritten bytes read so far upstream on the session thread. The tunnel that carries
// the rest of the connection (the client's bytes pass through the rewriter), or empty when
// sending failed (logged; `session.upstream` is closed).
std::optional<TunnelSetup> forwardHttpRequest(SessionContext& session, ClientRequest& request);

}  // namespace quillon
