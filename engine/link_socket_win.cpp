#include <winsock2.h>
#include <ws2tcpip.h>

#include <mutex>

#include "link_socket.h"

namespace standin::link {
namespace {

std::string failure(const char* call) {
  return std::string(call) + " failed: " + std::to_string(WSAGetLastError());
}

// Winsock is started once per module and left running until the process ends.
void startWinsock() {
  static std::once_flag once;
  std::call_once(once, [] {
    WSADATA data;
    WSAStartup(MAKEWORD(2, 2), &data);
  });
}

SOCKET raw(const Socket& socket) { return static_cast<SOCKET>(socket.handle()); }

sockaddr_in loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

Socket newTcpSocket(std::string& error) {
  startWinsock();
  SOCKET handle = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                               WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (handle == INVALID_SOCKET) error = failure("WSASocket");
  return Socket(static_cast<intptr_t>(handle));
}

void setNoDelay(SOCKET handle) {
  BOOL one = TRUE;
  ::setsockopt(handle, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof(one));
}

}  // namespace

void Socket::close() {
  if (handle_ != kInvalid) ::closesocket(static_cast<SOCKET>(handle_));
  handle_ = kInvalid;
}

void Socket::shutdownBoth() {
  if (handle_ != kInvalid) ::shutdown(static_cast<SOCKET>(handle_), SD_BOTH);
}

Socket listenLoopback(uint16_t& port, std::string& error) {
  Socket socket = newTcpSocket(error);
  if (!socket.valid()) return {};
  // Nobody else may bind the same port while we listen on it.
  BOOL one = TRUE;
  ::setsockopt(raw(socket), SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&one),
               sizeof(one));
  sockaddr_in address = loopback(0);
  int length = sizeof(address);
  if (::bind(raw(socket), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    error = failure("bind");
    return {};
  }
  if (::listen(raw(socket), 16) != 0) {
    error = failure("listen");
    return {};
  }
  if (::getsockname(raw(socket), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    error = failure("getsockname");
    return {};
  }
  port = ntohs(address.sin_port);
  return socket;
}

Socket acceptClient(const Socket& listener, std::string& error) {
  SOCKET handle = ::accept(raw(listener), nullptr, nullptr);
  if (handle == INVALID_SOCKET) {
    error = failure("accept");
    return {};
  }
  setNoDelay(handle);
  return Socket(static_cast<intptr_t>(handle));
}

Socket connectLoopback(uint16_t port, int timeoutMs, std::string& error) {
  Socket socket = newTcpSocket(error);
  if (!socket.valid()) return {};
  u_long nonBlocking = 1;
  ::ioctlsocket(raw(socket), FIONBIO, &nonBlocking);
  sockaddr_in address = loopback(port);
  if (::connect(raw(socket), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    if (WSAGetLastError() != WSAEWOULDBLOCK) {
      error = failure("connect");
      return {};
    }
    fd_set writable;
    fd_set failed;
    FD_ZERO(&writable);
    FD_ZERO(&failed);
    FD_SET(raw(socket), &writable);
    FD_SET(raw(socket), &failed);
    timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
    int ready = ::select(0, nullptr, &writable, &failed, &limit);
    if (ready <= 0) {
      error = ready == 0 ? "connect timed out" : failure("select");
      return {};
    }
    if (FD_ISSET(raw(socket), &failed)) {
      int code = 0;
      int length = sizeof(code);
      ::getsockopt(raw(socket), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&code), &length);
      error = "connect failed: " + std::to_string(code);
      return {};
    }
  }
  u_long blocking = 0;
  ::ioctlsocket(raw(socket), FIONBIO, &blocking);
  setNoDelay(raw(socket));
  return socket;
}

bool sendAll(const Socket& socket, const uint8_t* data, size_t size) {
  while (size > 0) {
    int chunk = size > 1u << 30 ? 1 << 30 : static_cast<int>(size);
    int sent = ::send(raw(socket), reinterpret_cast<const char*>(data), chunk, 0);
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<size_t>(sent);
  }
  return true;
}

bool setSendTimeout(const Socket& socket, int timeoutMs) {
  DWORD limit = static_cast<DWORD>(timeoutMs);
  return ::setsockopt(raw(socket), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&limit),
                      sizeof(limit)) == 0;
}

long receiveSome(const Socket& socket, uint8_t* data, size_t size) {
  int chunk = size > 1u << 30 ? 1 << 30 : static_cast<int>(size);
  int received = ::recv(raw(socket), reinterpret_cast<char*>(data), chunk, 0);
  return received < 0 ? -1 : static_cast<long>(received);
}

bool waitReadable(const std::vector<const Socket*>& sockets, int timeoutMs,
                  std::vector<bool>& readable) {
  readable.assign(sockets.size(), false);
  fd_set set;
  FD_ZERO(&set);
  for (const Socket* socket : sockets) FD_SET(raw(*socket), &set);
  timeval limit{timeoutMs / 1000, (timeoutMs % 1000) * 1000};
  int ready = ::select(0, &set, nullptr, nullptr, &limit);
  if (ready < 0) return false;
  for (size_t i = 0; i < sockets.size(); ++i) readable[i] = FD_ISSET(raw(*sockets[i]), &set) != 0;
  return true;
}

}  // namespace standin::link
