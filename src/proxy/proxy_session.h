// One accepted client while it is being set up: read its request head, check it, connect to the
// upstream proxy and hand over to the CONNECT or the plain HTTP path; then, on the same thread,
// relay the connection until it ends.
#pragma once

#include <memory>

#include "proxy/socket_compat.h"

namespace quillon {

struct ProxyRun;

// The body of a client's job; `client` is non-blocking, as accepted. The listener has counted
// the session in `run` (sessionBegan); the session ends it once it has handed over or failed.
void serveSession(std::shared_ptr<ProxyRun> run, Socket client, int connectionId);

}  // namespace quillon
