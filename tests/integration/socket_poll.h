// Waiting on many sockets at once (poll on POSIX, WSAPoll on Windows), for the test peers that
// drive hundreds of connections from one thread.
#pragma once

#include <vector>

#include "proxy/socket_compat.h"

namespace quillon::testing {

struct PollEntry {
  SocketHandle socket = kInvalidSocket;
  bool wantRead = false;
  bool wantWrite = false;
  // Results: readable also when the peer closed or the socket failed (a read then says which).
  bool readable = false;
  bool writable = false;
};

// Waits until some entry is ready or timeoutMs passed. Returns the number of ready entries,
// 0 on time-out, -1 on failure.
int pollSockets(std::vector<PollEntry>& entries, int timeoutMs);

}  // namespace quillon::testing
