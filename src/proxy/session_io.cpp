#include "proxy/session_io.h"

namespace quillon {

namespace {

int millisecondsLeft(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

Deadline deadlineIn(int ms) { return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms); }

IoResult waitSocket(SocketHandle socket, short events, Deadline deadline, const WakeSignal* stop) {
  for (;;) {
    PollEntry entries[2] = {};
    entries[0].fd = socket;
    entries[0].events = events;
    if (stop != nullptr) {
      entries[1].fd = stop->pollHandle();
      entries[1].events = kPollIn;
    }
    const int left = millisecondsLeft(deadline);
    const int ready = pollSockets(entries, stop != nullptr ? 2 : 1, left);
    if (ready < 0) return IoResult::kFailed;
    if (entries[1].revents != 0) return IoResult::kStopped;
    if (entries[0].revents != 0) return IoResult::kDone;
    if (left == 0) {
      setLastSocketError(wsa::kTimedOut);
      return IoResult::kTimedOut;
    }
  }
}

IoResult sendWithin(SocketHandle socket, std::string_view bytes, Deadline deadline,
                    const WakeSignal* stop, size_t& sent) {
  sent = 0;
  while (sent < bytes.size()) {
    const long n = sendSome(socket, bytes.data() + sent, bytes.size() - sent);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && lastSocketError() != wsa::kWouldBlock) return IoResult::kFailed;
    const IoResult waited = waitSocket(socket, kPollOut, deadline, stop);
    if (waited != IoResult::kDone) return waited;
  }
  return IoResult::kDone;
}

long readChunk(SocketHandle socket, char* chunk, size_t size, bool& failed) {
  const long n = recvSome(socket, chunk, size);
  failed = n < 0 && lastSocketError() != wsa::kWouldBlock;
  return n;
}

IoResult connectWithin(SocketHandle socket, const sockaddr_in& address, Deadline deadline,
                       const WakeSignal* stop) {
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return IoResult::kDone;
  }
  const int started = lastSocketError();
  // A non-blocking connect reports "in progress" (10036) on POSIX and "would block" on Windows.
  if (started != wsa::kWouldBlock && started != 10036) return IoResult::kFailed;
  const IoResult waited = waitSocket(socket, kPollOut, deadline, stop);
  if (waited != IoResult::kDone) return waited;
  int error = socketErrorOf(socket);
  if (error == 0) return IoResult::kDone;
  setLastSocketError(error);
  return IoResult::kFailed;
}

}  // namespace quillon
