#include "proxy/socket_compat.h"

#include <cstring>
#include <memory>

namespace quillon {

namespace {

struct AddressListDeleter {
  void operator()(addrinfo* list) const { ::freeaddrinfo(list); }
};

}  // namespace

int waitReadable(SocketHandle socket, int timeoutMs) {
  PollEntry entry{};
  entry.fd = socket;
  entry.events = kPollIn;
  const int ready = pollSockets(&entry, 1, timeoutMs);
  return ready < 0 ? -1 : (ready > 0 ? 1 : 0);
}

int resolveIpv4(const std::string& host, uint16_t port, sockaddr_in& address) {
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const int result = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (result != 0) return resolverErrorCode(result);
  const std::unique_ptr<addrinfo, AddressListDeleter> list(found);
  if (found == nullptr || found->ai_addrlen < sizeof address) return wsa::kHostNotFound;
  std::memcpy(&address, found->ai_addr, sizeof address);
  return 0;
}

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
