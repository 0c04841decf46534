// The system's table of TCP connections, for tests that must know that a reset has reached
// a socket they do not own (the proxy's) before they let its owner go on.
#pragma once

#include <cstdint>

namespace quillon::testing {

// True while the system lists a TCP connection from 127.0.0.1:`localPort` to
// 127.0.0.1:`remotePort`, in any state. A socket that has taken a reset is no longer listed,
// although its owner has not closed it yet.
bool loopbackConnectionListed(uint16_t localPort, uint16_t remotePort);

}  // namespace quillon::testing
