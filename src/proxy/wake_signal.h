// A signal that one thread raises once and that any number of threads watch in their socket
// waits (it is pollable like a socket). The server raises it on stop(), so that sessions still
// reading a head or waiting for the upstream proxy leave their waits at once. A single waiter
// may also clear it after each wake-up and use it again (the spare connections' keeper).
#pragma once

#include "proxy/socket_compat.h"

namespace quillon {

class WakeSignal {
 public:
  WakeSignal();
  ~WakeSignal();
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  // False when the system could not provide the signal (see lastSocketError()).
  bool valid() const { return handle_ != kInvalidSocket; }
  // Raises the signal; it stays raised. Safe from any thread, more than once.
  void raise();
  bool raised() const;
  // Lowers the signal again, so that one waiter can use it as a repeated wake-up: a raise after
  // the clear is seen by the next wait, one before it is not. Only the waiter calls it.
  void clear();
  // What to put into a PollEntry (with kPollIn) to watch the signal; readable once raised.
  SocketHandle pollHandle() const { return handle_; }

 private:
  SocketHandle handle_ = kInvalidSocket;
};

}  // namespace quillon
