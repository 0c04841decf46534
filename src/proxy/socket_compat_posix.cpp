#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "proxy/socket_compat.h"

namespace quillon {

namespace {

struct ErrorPair {
  int system;
  int wsa;
};

// errno values and their Winsock numbers. EPIPE has no Winsock counterpart; a send into a
// connection the peer has dropped reports a reset there, so it is given that number.
constexpr ErrorPair kErrorTable[] = {
    {EINTR, 10004},       {EBADF, 10009},        {EACCES, 10013},      {EFAULT, 10014},
    {EINVAL, 10022},      {EMFILE, 10024},       {EWOULDBLOCK, 10035}, {EAGAIN, 10035},
    {EINPROGRESS, 10036}, {EALREADY, 10037},     {ENOTSOCK, 10038},    {EDESTADDRREQ, 10039},
    {EMSGSIZE, 10040},    {EPROTOTYPE, 10041},   {ENOPROTOOPT, 10042}, {EPROTONOSUPPORT, 10043},
    {EOPNOTSUPP, 10045},  {EAFNOSUPPORT, 10047}, {EADDRINUSE, 10048},  {EADDRNOTAVAIL, 10049},
    {ENETDOWN, 10050},    {ENETUNREACH, 10051},  {ENETRESET, 10052},   {ECONNABORTED, 10053},
    {ECONNRESET, 10054},  {EPIPE, 10054},        {ENOBUFS, 10055},     {EISCONN, 10056},
    {ENOTCONN, 10057},    {ESHUTDOWN, 10058},    {ETIMEDOUT, 10060},   {ECONNREFUSED, 10061},
    {ELOOP, 10062},       {ENAMETOOLONG, 10063}, {EHOSTDOWN, 10064},   {EHOSTUNREACH, 10065},
};

// The inverse direction, for setLastSocketError().
int systemErrorFor(int wsaCode) {
  for (const ErrorPair& pair : kErrorTable) {
    if (pair.wsa == wsaCode) return pair.system;
  }
  return wsaCode;
}

}  // namespace

bool socketLayerStartup() { return true; }
void socketLayerCleanup() {}

int translateSystemError(int systemCode) {
  for (const ErrorPair& pair : kErrorTable) {
    if (pair.system == systemCode) return pair.wsa;
  }
  return systemCode;
}

int lastSocketError() { return translateSystemError(errno); }

void setLastSocketError(int wsaCode) { errno = systemErrorFor(wsaCode); }

int resolverErrorCode(int getaddrinfoResult) {
  switch (getaddrinfoResult) {
    case EAI_NONAME:
      return wsa::kHostNotFound;
    case EAI_AGAIN:
      return 11002;  // WSATRY_AGAIN
    case EAI_FAIL:
      return 11003;  // WSANO_RECOVERY
#ifdef EAI_NODATA
    case EAI_NODATA:
      return 11004;  // WSANO_DATA
#endif
    case EAI_FAMILY:
      return 10047;  // WSAEAFNOSUPPORT
    case EAI_MEMORY:
      return 8;  // WSA_NOT_ENOUGH_MEMORY
    case EAI_SYSTEM:
      return lastSocketError();
    default:
      return getaddrinfoResult;
  }
}

SocketHandle openTcpSocket() {
  return ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
}

SocketHandle acceptSocket(SocketHandle listener, bool* loopback) {
  sockaddr_in peer{};
  socklen_t length = sizeof peer;
  const int client = ::accept4(listener, reinterpret_cast<sockaddr*>(&peer), &length,
                               SOCK_CLOEXEC | SOCK_NONBLOCK);
  if (loopback != nullptr) *loopback = (ntohl(peer.sin_addr.s_addr) >> 24) == 127;
  return client;
}

void closeSocket(SocketHandle socket) { ::close(socket); }

bool setSocketBlocking(SocketHandle socket, bool blocking) {
  const int flags = ::fcntl(socket, F_GETFL, 0);
  if (flags < 0) return false;
  const int wanted = blocking ? (flags & ~O_NONBLOCK) : (flags | O_NONBLOCK);
  return wanted == flags || ::fcntl(socket, F_SETFL, wanted) == 0;
}

bool setIntOption(SocketHandle socket, int level, int name, int value) {
  return ::setsockopt(socket, level, name, &value, sizeof value) == 0;
}

bool prepareListenerAddress(SocketHandle listener) {
  return setIntOption(listener, SOL_SOCKET, SO_REUSEADDR, 1);
}

bool isResourceExhaustion(int wsaCode) {
  // EMFILE and ENOBUFS have Winsock numbers; ENFILE and ENOMEM pass through untranslated.
  return wsaCode == 10024 || wsaCode == 10055 || wsaCode == ENFILE || wsaCode == ENOMEM;
}

int socketErrorOf(SocketHandle socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) return lastSocketError();
  return error == 0 ? 0 : translateSystemError(error);
}

bool shutdownSending(SocketHandle socket) { return ::shutdown(socket, SHUT_WR) == 0; }

bool setResetOnClose(SocketHandle socket) {
  const linger value{1, 0};
  return ::setsockopt(socket, SOL_SOCKET, SO_LINGER, &value, sizeof value) == 0;
}

int pollSockets(PollEntry* entries, size_t count, int timeoutMs) {
  for (;;) {
    const int result = ::poll(entries, static_cast<nfds_t>(count), timeoutMs);
    if (result >= 0 || errno != EINTR) return result;
  }
}

// poll() reports a failed connect as POLLERR (with POLLOUT and POLLHUP) already.
int pollConnecting(PollEntry* entries, size_t count, int timeoutMs) {
  return pollSockets(entries, count, timeoutMs);
}

long sendSome(SocketHandle socket, const char* data, size_t size) {
  for (;;) {
    const long n = ::send(socket, data, size, MSG_NOSIGNAL);
    if (n >= 0 || errno != EINTR) return n;
  }
}

long recvSome(SocketHandle socket, char* data, size_t size) {
  for (;;) {
    const long n = ::recv(socket, data, size, 0);
    if (n >= 0 || errno != EINTR) return n;
  }
}

long peekSome(SocketHandle socket, char* data, size_t size) {
  for (;;) {
    const long n = ::recv(socket, data, size, MSG_PEEK);
    if (n >= 0 || errno != EINTR) return n;
  }
}

}  // namespace quillon
