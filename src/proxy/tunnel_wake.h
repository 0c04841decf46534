// Readiness waiting for the relay threads. Each direction of a tunnel sleeps until its source
// socket has something to say (data, end of stream, an error) or until the tunnel's wake-up is
// raised by the direction that ended first, so an idle tunnel costs no processor time and the
// second direction leaves as soon as the first has ended.
#pragma once

#include "proxy/socket_compat.h"

namespace quillon {

// Raised once, when a tunnel ends; stays raised. Shared by the tunnel's two directions.
class TunnelWake {
 public:
  TunnelWake();
  ~TunnelWake();
  TunnelWake(const TunnelWake&) = delete;
  TunnelWake& operator=(const TunnelWake&) = delete;

  // False when the system could not provide the signal (see lastSocketError()).
  bool valid() const;
  void raise();

 private:
  friend class SourceWatch;
#ifdef _WIN32
  WSAEVENT event_;
#else
  int fd_;
#endif
};

// One direction's watch on its source socket. Created and used on the relay thread; the
// source socket must stay open while it exists.
class SourceWatch {
 public:
  SourceWatch(SocketHandle source, const TunnelWake& wake);
  ~SourceWatch();
  SourceWatch(const SourceWatch&) = delete;
  SourceWatch& operator=(const SourceWatch&) = delete;

  bool valid() const;
  // Blocks until the source is readable, closed or failed, or the wake is raised. Returns
  // false when waiting itself failed (see lastSocketError()).
  bool wait();

 private:
  SocketHandle source_;
  const TunnelWake& wake_;
#ifdef _WIN32
  WSAEVENT event_;
  bool selected_ = false;
#endif
};

}  // namespace quillon
