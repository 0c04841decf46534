#include "proxy/socket_compat.h"

namespace quillon {

size_t sendAll(SocketHandle socket, const char* data, size_t size) {
  size_t sent = 0;
  while (sent < size) {
    const long n = sendSome(socket, data + sent, size - sent);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  return sent;
}

}  // namespace quillon
