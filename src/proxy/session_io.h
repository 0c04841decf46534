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

// Connects to `address`, giving up at the deadline (kTimedOut, with the error kTimedOut).
IoResult connectWithin(SocketHandle socket, const sockaddr_in& address, Deadline deadline,
                       const WakeSignal* stop);

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
