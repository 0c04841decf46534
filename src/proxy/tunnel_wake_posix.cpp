#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "proxy/tunnel_wake.h"

namespace quillon {

TunnelWake::TunnelWake() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

TunnelWake::~TunnelWake() {
  if (fd_ >= 0) ::close(fd_);
}

bool TunnelWake::valid() const { return fd_ >= 0; }

void TunnelWake::raise() {
  // The counter is never read back, so the descriptor stays readable for every later wait.
  const uint64_t one = 1;
  ssize_t written;
  do {
    written = ::write(fd_, &one, sizeof one);
  } while (written < 0 && errno == EINTR);
}

SourceWatch::SourceWatch(SocketHandle source, const TunnelWake& wake)
    : source_(source), wake_(wake) {}

SourceWatch::~SourceWatch() = default;

bool SourceWatch::valid() const { return true; }

bool SourceWatch::wait() {
  pollfd entries[2] = {{source_, POLLIN, 0}, {wake_.fd_, POLLIN, 0}};
  for (;;) {
    if (::poll(entries, 2, -1) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace quillon
