#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "link_socket.h"

namespace standin::link {
namespace {

std::string failure(const char* call) {
  return std::string(call) + " failed: " + std::to_string(errno);
}

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

}  // namespace

void Socket::close() {
  if (handle_ != kInvalid) ::close(static_cast<int>(handle_));
  handle_ = kInvalid;
}

void Socket::shutdownBoth() {
  if (handle_ != kInvalid) ::shutdown(static_cast<int>(handle_), SHUT_RDWR);
}

Socket listenLoopback(uint16_t& port, std::string& error) {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) {
    error = failure("socket");
    return {};
  }
  sockaddr_in address = loopback(0);
  socklen_t length = sizeof(address);
  int fd = static_cast<int>(socket.handle());
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    error = failure("bind");
    return {};
  }
  if (::listen(fd, 16) != 0) {
    error = failure("listen");
    return {};
  }
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = failure("getsockname");
    return {};
  }
  port = ntohs(address.sin_port);
  return socket;
}

Socket acceptClient(const Socket& listener, std::string& error) {
  int fd = ::accept4(static_cast<int>(listener.handle()), nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    error = failure("accept");
    return {};
  }
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return Socket(fd);
}

Socket connectLoopback(uint16_t port, int timeoutMs, std::string& error) {
  Socket socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!socket.valid()) {
    error = failure("socket");
    return {};
  }
  int fd = static_cast<int>(socket.handle());
  int flags = ::fcntl(fd, F_GETFL, 0);
  ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  sockaddr_in address = loopback(port);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    if (errno != EINPROGRESS) {
      error = failure("connect");
      return {};
    }
    pollfd entry{fd, POLLOUT, 0};
    int ready = ::poll(&entry, 1, timeoutMs);
    if (ready <= 0) {
      error = ready == 0 ? "connect timed out" : failure("poll");
      return {};
    }
    int code = 0;
    socklen_t length = sizeof(code);
    ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &code, &length);
    if (code != 0) {
      errno = code;
      error = failure("connect");
      return {};
    }
  }
  ::fcntl(fd, F_SETFL, flags);
  int one = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  return socket;
}

bool sendAll(const Socket& socket, const uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t sent = ::send(static_cast<int>(socket.handle()), data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool setSendTimeout(const Socket& socket, int timeoutMs) {
  timeval limit{};
  limit.tv_sec = timeoutMs / 1000;
  limit.tv_usec = (timeoutMs % 1000) * 1000;
  return ::setsockopt(static_cast<int>(socket.handle()), SOL_SOCKET, SO_SNDTIMEO, &limit,
                      sizeof(limit)) == 0;
}

long receiveSome(const Socket& socket, uint8_t* data, size_t size) {
  for (;;) {
    ssize_t received = ::recv(static_cast<int>(socket.handle()), data, size, 0);
    if (received < 0 && errno == EINTR) continue;
    return received < 0 ? -1 : static_cast<long>(received);
  }
}

bool waitReadable(const std::vector<const Socket*>& sockets, int timeoutMs,
                  std::vector<bool>& readable) {
  std::vector<pollfd> entries;
  for (const Socket* socket : sockets) {
    entries.push_back(pollfd{static_cast<int>(socket->handle()), POLLIN, 0});
  }
  readable.assign(sockets.size(), false);
  int ready = ::poll(entries.data(), entries.size(), timeoutMs);
  if (ready < 0) return errno == EINTR;
  for (size_t i = 0; i < entries.size(); ++i) {
    readable[i] = (entries[i].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  }
  return true;
}

}  // namespace standin::link
