// A signal that one thread raises once and that any number of threads watch in their socket
// waits (it is pollable like a socket). The server raises it on stop(), so that sessions still
// reading a head or waiting for the upstream proxy leave their waits at once.
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
  // What to put into a PollEntry (with kPollIn) to watch the signal; readable once raised.
  SocketHandle pollHandle() const { return handle_; }

 private:
  SocketHandle handle_ = kInvalidSocket;
};

}  // namespace quillon
