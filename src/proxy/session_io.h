// Socket operations of a session while it sets up a connection: every wait has a deadline and
// also watches the server's stop signal (when `stop` is not null), so that neither a slow peer
// nor stop() can leave a session blocked. The sockets are non-blocking throughout.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include "proxy/socket_compat.h"
#include "proxy/wake_signal.h"

namespace quillon {

using Deadline = std::chrono::steady_clock::time_point;

Deadline deadlineIn(int ms);

// Sets TCP_NODELAY and SO_KEEPALIVE, the options every client and upstream socket gets; a
// failing option is logged and the rest are not tried. False when either could not be set (the
// socket is usable anyway). The buffer sizes stay the system's.
bool tuneSocket(SocketHandle socket);

enum class IoResult {
  kDone,      // the operation completed
  kClosed,    // the peer ended the stream
  kTimedOut,  // the deadline passed first
  kStopped,   // the stop signal was raised
  kFailed,    // a socket error (see lastSocketError())
};

// Waits until `socket` is ready for `events` (kPollIn / kPollOut); errors and hang-ups count
// as ready, so that the next call reports them.
IoResult waitSocket(SocketHandle socket, short events, Deadline deadline, const WakeSignal* stop);

// Sends every byte. `sent` tells how many went out, also on failure.
IoResult sendWithin(SocketHandle socket, std::string_view bytes, Deadline deadline,
                    const WakeSignal* stop, size_t& sent);

// Reads a head: passes each chunk read to `take` until it returns true (it has what it needs,
// or has refused what it got), all within one deadline. The one reading loop of the client's
// request heads and of the upstream's answers; the callers' parsers enforce the head limit.
// kDone once `take` returned true.
template <typename Take>
IoResult readUntil(SocketHandle socket, Deadline deadline, const WakeSignal* stop, Take&& take);

// Connects to `address`, giving up at the deadline (kTimedOut, with the error kTimedOut). A
// refused or otherwise failed connect is found within kConnectCheckMs of its failure even when
// the wait does not report it (see ConnectWait).
IoResult connectWithin(SocketHandle socket, const sockaddr_in& address, Deadline deadline,
                       const WakeSignal* stop);

// Starts a non-blocking connect to `address`: kDone when it completed at once, kTimedOut when
// it is under way (then wait with waitConnecting and look with connectProgress), kFailed
// otherwise.
IoResult startConnect(SocketHandle socket, const sockaddr_in& address);

// The wait of sockets of which some are connecting: pollConnecting, or a test's replacement.
int waitConnecting(PollEntry* entries, size_t count, int timeoutMs);
// Longest single wait while a connect is under way: after each, the socket's pending error is
// read, so a failure that the wait did not report is found within this time.
inline constexpr int kConnectCheckMs = 100;

// Where a connect under way stands after a wait that gave `revents` for its socket.
enum class ConnectProgress { kPending, kConnected, kFailed };
// kFailed sets the last socket error to the reason.
ConnectProgress connectProgress(SocketHandle socket, short revents);

// Test seam: replaces the wait of connecting sockets (nullptr puts pollConnecting back), to
// show that a failed connect is found even by a wait that never reports it, as WSAPoll before
// Windows 10 version 2004 does not. Not while sessions connect.
using ConnectWait = int (*)(PollEntry* entries, size_t count, int timeoutMs);
void setConnectWaitForTesting(ConnectWait wait);

// One read into `chunk` for readUntil: the count, 0 at the end of the stream, -1 when nothing
// is there yet (would block) or on failure (then `failed` is set).
long readChunk(SocketHandle socket, char* chunk, size_t size, bool& failed);

template <typename Take>
IoResult readUntil(SocketHandle socket, Deadline deadline, const WakeSignal* stop, Take&& take) {
  char chunk[8192];
  for (;;) {
    bool failed = false;
    const long n = readChunk(socket, chunk, sizeof chunk, failed);
    if (n > 0) {
      if (take(std::string_view(chunk, static_cast<size_t>(n)))) return IoResult::kDone;
      continue;
    }
    if (n == 0) return IoResult::kClosed;
    if (failed) return IoResult::kFailed;
    const IoResult waited = waitSocket(socket, kPollIn, deadline, stop);
    if (waited != IoResult::kDone) return waited;
  }
}

}  // namespace quillon
