#include "proxy/session_io.h"

#include <algorithm>
#include <atomic>

#include "log/app_log.h"

namespace quillon {

namespace {

std::atomic<ConnectWait> connectWait{nullptr};

// Fills `entries` with `socket` waiting for `events` and, when there is one, the stop signal;
// returns how many are used.
size_t watchWithStop(PollEntry (&entries)[2], SocketHandle socket, short events,
                     const WakeSignal* stop) {
  entries[0] = PollEntry{};
  entries[0].fd = socket;
  entries[0].events = events;
  entries[1] = PollEntry{};
  if (stop == nullptr) return 1;
  entries[1].fd = stop->pollHandle();
  entries[1].events = kPollIn;
  return 2;
}

int millisecondsLeft(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

}  // namespace

bool tuneSocket(SocketHandle socket) {
  if (!setIntOption(socket, IPPROTO_TCP, TCP_NODELAY, 1)) {
    logError("设置TCP_NODELAY选项失败: ", lastSocketError());
    return false;
  }
  if (!setIntOption(socket, SOL_SOCKET, SO_KEEPALIVE, 1)) {
    logError("设置SO_KEEPALIVE选项失败: ", lastSocketError());
    return false;
  }
  // The send and receive buffers are left to the system: a fixed receive buffer caps the TCP
  // window, and with it every download, at buffer size / round trip (64 KiB over 100 ms is
  // about 5 Mbit/s), and on Windows it also turns receive-window auto-tuning off.
  return true;
}

Deadline deadlineIn(int ms) {
  return std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
}

IoResult waitSocket(SocketHandle socket, short events, Deadline deadline, const WakeSignal* stop) {
  for (;;) {
    PollEntry entries[2];
    const size_t count = watchWithStop(entries, socket, events, stop);
    const int left = millisecondsLeft(deadline);
    const int ready = pollSockets(entries, count, left);
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

IoResult startConnect(SocketHandle socket, const sockaddr_in& address) {
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return IoResult::kDone;
  }
  const int started = lastSocketError();
  // A non-blocking connect reports "in progress" (10036) on POSIX and "would block" on Windows.
  return started == wsa::kWouldBlock || started == 10036 ? IoResult::kTimedOut : IoResult::kFailed;
}

int waitConnecting(PollEntry* entries, size_t count, int timeoutMs) {
  const ConnectWait wait = connectWait.load();
  return wait != nullptr ? wait(entries, count, timeoutMs)
                         : pollConnecting(entries, count, timeoutMs);
}

void setConnectWaitForTesting(ConnectWait wait) { connectWait.store(wait); }

ConnectProgress connectProgress(SocketHandle socket, short revents) {
  // The pending error is read whatever the wait said: it is where a failure shows even when the
  // wait did not report it.
  const int error = socketErrorOf(socket);
  if (error != 0) {
    setLastSocketError(error);
    return ConnectProgress::kFailed;
  }
  if ((revents & (kPollErr | kPollHup)) != 0) {
    // Reported failed, but the reason was already taken: a reset is the nearest name for it.
    setLastSocketError(wsa::kConnReset);
    return ConnectProgress::kFailed;
  }
  return (revents & kPollOut) != 0 ? ConnectProgress::kConnected : ConnectProgress::kPending;
}

IoResult connectWithin(SocketHandle socket, const sockaddr_in& address, Deadline deadline,
                       const WakeSignal* stop) {
  const IoResult started = startConnect(socket, address);
  if (started != IoResult::kTimedOut) return started;
  for (;;) {
    PollEntry entries[2];
    const size_t count = watchWithStop(entries, socket, kPollOut, stop);
    const int left = millisecondsLeft(deadline);
    const int ready = waitConnecting(entries, count, std::min(left, kConnectCheckMs));
    if (ready < 0) return IoResult::kFailed;
    if (entries[1].revents != 0) return IoResult::kStopped;
    switch (connectProgress(socket, entries[0].revents)) {
      case ConnectProgress::kConnected:
        return IoResult::kDone;
      case ConnectProgress::kFailed:
        return IoResult::kFailed;
      case ConnectProgress::kPending:
        break;
    }
    if (left == 0) {
      setLastSocketError(wsa::kTimedOut);
      return IoResult::kTimedOut;
    }
  }
}

}  // namespace quillon
