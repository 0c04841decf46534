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

// Reads into `buffer` (which may already hold bytes) until it begins with a complete head.
// kDone: it does; kFailed with tooLarge set: more than kHeadLimit bytes arrived without the
// head's end. `received` grows by every byte read.
IoResult readHead(SocketHandle socket, std::string& buffer, Deadline deadline,
                  const WakeSignal* stop, bool& tooLarge, int64_t& received);

// Connects to `address`, giving up at the deadline (kTimedOut, with the error kTimedOut).
IoResult connectWithin(SocketHandle socket, const sockaddr_in& address, Deadline deadline,
                       const WakeSignal* stop);

}  // namespace quillon
