#include "socket_poll.h"

namespace quillon::testing {

int pollSockets(std::vector<PollEntry>& entries, int timeoutMs) {
  std::vector<WSAPOLLFD> fds(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    fds[i].fd = entries[i].socket;
    fds[i].events = static_cast<SHORT>((entries[i].wantRead ? POLLRDNORM : 0) |
                                       (entries[i].wantWrite ? POLLWRNORM : 0));
  }
  const int result = ::WSAPoll(fds.data(), static_cast<ULONG>(fds.size()), timeoutMs);
  for (size_t i = 0; i < entries.size(); ++i) {
    const SHORT revents = result > 0 ? fds[i].revents : 0;
    entries[i].readable = (revents & (POLLRDNORM | POLLHUP | POLLERR)) != 0 && entries[i].wantRead;
    entries[i].writable = (revents & (POLLWRNORM | POLLERR)) != 0 && entries[i].wantWrite;
  }
  return result;
}

}  // namespace quillon::testing
