#include <errno.h>
#include <poll.h>

#include "socket_poll.h"

namespace quillon::testing {

int pollSockets(std::vector<PollEntry>& entries, int timeoutMs) {
  std::vector<pollfd> fds(entries.size());
  for (size_t i = 0; i < entries.size(); ++i) {
    fds[i].fd = entries[i].socket;
    fds[i].events = static_cast<short>((entries[i].wantRead ? POLLIN : 0) |
                                       (entries[i].wantWrite ? POLLOUT : 0));
  }
  int result;
  do {
    result = ::poll(fds.data(), fds.size(), timeoutMs);
  } while (result < 0 && errno == EINTR);
  for (size_t i = 0; i < entries.size(); ++i) {
    const short revents = result > 0 ? fds[i].revents : 0;
    entries[i].readable = (revents & (POLLIN | POLLHUP | POLLERR)) != 0 && entries[i].wantRead;
    entries[i].writable = (revents & (POLLOUT | POLLERR)) != 0 && entries[i].wantWrite;
  }
  return result;
}

}  // namespace quillon::testing
