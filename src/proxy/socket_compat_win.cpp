// select() below takes up to this many sockets per set (winsock2.h reads it once).
#define FD_SETSIZE 1024
#include "proxy/socket_compat.h"

#include <climits>

namespace quillon {

bool socketLayerStartup() {
  WSADATA data;
  return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
}

void socketLayerCleanup() { ::WSACleanup(); }

int lastSocketError() { return ::WSAGetLastError(); }

void setLastSocketError(int wsaCode) { ::WSASetLastError(wsaCode); }

int translateSystemError(int systemCode) { return systemCode; }

int resolverErrorCode(int getaddrinfoResult) { return getaddrinfoResult; }

SocketHandle openTcpSocket() {
  SocketHandle socket = ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                     WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  // Systems that do not know the no-inherit flag refuse it; a plain socket still works.
  if (socket == INVALID_SOCKET) socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket != INVALID_SOCKET && !setSocketBlocking(socket, false)) {
    ::closesocket(socket);
    return INVALID_SOCKET;
  }
  return socket;
}

// "accept function": the address buffer must hold a sockaddr (WSAEFAULT otherwise); the
// listener is IPv4, so a sockaddr_in of the same 16 bytes receives every peer.
SocketHandle acceptSocket(SocketHandle listener, bool* loopback) {
  sockaddr_in peer{};
  int length = sizeof peer;
  const SOCKET client = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &length);
  if (loopback != nullptr) *loopback = (ntohl(peer.sin_addr.s_addr) >> 24) == 127;
  return client;
}

void closeSocket(SocketHandle socket) { ::closesocket(socket); }

bool setSocketBlocking(SocketHandle socket, bool blocking) {
  u_long mode = blocking ? 0 : 1;
  return ::ioctlsocket(socket, FIONBIO, &mode) == 0;
}

bool setIntOption(SocketHandle socket, int level, int name, int value) {
  return ::setsockopt(socket, level, name, reinterpret_cast<const char*>(&value), sizeof value) ==
         0;
}

// The listener takes the row "no socket options" of Microsoft's binding table in "Using
// SO_REUSEADDR and SO_EXCLUSIVEADDRUSE". With the enhanced socket security of every Windows
// since Server 2003, a port bound without options cannot be bound by a socket of another user
// account, not even with SO_REUSEADDR (only the same account is let through, for
// compatibility). The same document says that a port claimed with SO_EXCLUSIVEADDRUSE cannot be
// bound again until the connections accepted on it have ended, so a restart would fail with
// 10048 while a browser still holds a tunnel; without options the port is free again once the
// listener is closed, whatever it accepted ("Differences Between Listening Socket Reuse Behavior
// in Windows 2000 and Windows NT 4.0", KB 307175). SO_REUSEADDR is not set either: it would let
// programs of any account bind the port beside the listener.
bool prepareListenerAddress(SocketHandle) { return true; }

bool isResourceExhaustion(int wsaCode) {
  return wsaCode == WSAEMFILE || wsaCode == WSAENOBUFS || wsaCode == WSA_NOT_ENOUGH_MEMORY;
}

int socketErrorOf(SocketHandle socket) {
  int error = 0;
  int length = sizeof error;
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    return lastSocketError();
  }
  return error;
}

bool shutdownSending(SocketHandle socket) { return ::shutdown(socket, SD_SEND) == 0; }

bool setResetOnClose(SocketHandle socket) {
  const linger value{1, 0};
  return ::setsockopt(socket, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&value),
                      sizeof value) == 0;
}

int pollSockets(PollEntry* entries, size_t count, int timeoutMs) {
  const int result = ::WSAPoll(entries, static_cast<ULONG>(count), timeoutMs);
  return result == SOCKET_ERROR ? -1 : result;
}

// WSAPoll does not report a failed non-blocking connect before Windows 10 version 2004 (the
// "WSAPoll function" page: from that version on it signals POLLHUP | POLLERR | POLLWRNORM); a
// session would wait out its whole connect time-out and log 10060 instead of the refusal.
// select() reports such a failure in its exception set ("select function": "If processing a
// connect call (nonblocking), connection attempt failed"), and has done so on every version, so
// waits that include a connecting socket go through select, with the connecting sockets in
// both the write and the exception set. The callers also read SO_ERROR after every wait, so
// they do not depend on the wait reporting the failure at all.
int pollConnecting(PollEntry* entries, size_t count, int timeoutMs) {
  if (count > FD_SETSIZE) {
    ::WSASetLastError(WSAEINVAL);
    return -1;
  }
  fd_set readable;
  fd_set writable;
  fd_set failed;
  FD_ZERO(&readable);
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  for (size_t i = 0; i < count; ++i) {
    entries[i].revents = 0;
    if (entries[i].events & kPollIn) FD_SET(entries[i].fd, &readable);
    if (entries[i].events & kPollOut) {
      FD_SET(entries[i].fd, &writable);
      FD_SET(entries[i].fd, &failed);
    }
  }
  timeval limit{};
  if (timeoutMs >= 0) {
    limit.tv_sec = timeoutMs / 1000;
    limit.tv_usec = (timeoutMs % 1000) * 1000;
  }
  // The first argument is ignored by Winsock.
  const int result = ::select(0, &readable, &writable, &failed, timeoutMs >= 0 ? &limit : nullptr);
  if (result == SOCKET_ERROR) return -1;
  int ready = 0;
  for (size_t i = 0; i < count; ++i) {
    if (FD_ISSET(entries[i].fd, &readable)) entries[i].revents |= kPollIn;
    if (FD_ISSET(entries[i].fd, &writable)) entries[i].revents |= kPollOut;
    if (FD_ISSET(entries[i].fd, &failed)) entries[i].revents |= kPollErr;
    ready += entries[i].revents != 0;
  }
  return ready;
}

long sendSome(SocketHandle socket, const char* data, size_t size) {
  return ::send(socket, data, static_cast<int>(size > INT_MAX ? INT_MAX : size), 0);
}

long recvSome(SocketHandle socket, char* data, size_t size) {
  return ::recv(socket, data, static_cast<int>(size > INT_MAX ? INT_MAX : size), 0);
}

// "INFO: Avoid Data Peeking in Winsock" (KB 192599) warns against peeking to count waiting
// bytes or to wait for a message: peeks may stop at an internal buffer boundary, and repeated
// peeks slow the flow. The proxy peeks once, at one byte, to tell an answer from an end of
// stream before relaying starts, which the article's one-byte guarantee covers.
long peekSome(SocketHandle socket, char* data, size_t size) {
  return ::recv(socket, data, static_cast<int>(size > INT_MAX ? INT_MAX : size), MSG_PEEK);
}

}  // namespace quillon
