// The socket layer of the proxy on both platforms: Winsock on Windows, BSD sockets elsewhere.
// Errors are always reported with their Winsock numbers, so that every log line reads the
// same on both platforms. This is the one header where platform conditionals are allowed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#endif

namespace quillon {

#ifdef _WIN32
using SocketHandle = SOCKET;
inline constexpr SocketHandle kInvalidSocket = INVALID_SOCKET;
// One socket of a readiness wait: `fd`, the wanted `events` and the reported `revents`.
using PollEntry = WSAPOLLFD;
#else
using SocketHandle = int;
inline constexpr SocketHandle kInvalidSocket = -1;
using PollEntry = pollfd;
#endif

// Readiness flags of a PollEntry. Errors and hang-ups are reported whatever was asked for.
inline constexpr short kPollIn = POLLIN;
inline constexpr short kPollOut = POLLOUT;
inline constexpr short kPollErr = POLLERR;
inline constexpr short kPollHup = POLLHUP;

// Winsock error numbers the proxy names in its log lines and decisions.
namespace wsa {
inline constexpr int kWouldBlock = 10035;
inline constexpr int kAddrInUse = 10048;
inline constexpr int kAddrNotAvail = 10049;
inline constexpr int kNetUnreach = 10051;
inline constexpr int kConnReset = 10054;
inline constexpr int kTimedOut = 10060;
inline constexpr int kConnRefused = 10061;
inline constexpr int kHostUnreach = 10065;
inline constexpr int kHostNotFound = 11001;
}  // namespace wsa

// Starts and ends the use of the socket library (WSAStartup 2.2 / WSACleanup on Windows,
// nothing elsewhere). Calls nest: every successful startup needs one cleanup.
bool socketLayerStartup();
void socketLayerCleanup();

// The last socket error of this thread as a Winsock number.
int lastSocketError();
// Sets the last socket error of this thread (a Winsock number).
void setLastSocketError(int wsaCode);
// Translates a system error number (errno) into its Winsock number; values without a Winsock
// counterpart pass through unchanged. On Windows the value is returned as it is.
int translateSystemError(int systemCode);
// The Winsock number for a failed getaddrinfo() result.
int resolverErrorCode(int getaddrinfoResult);

// Resolves `host` (a name or a dotted IPv4 address) and `port` to the first IPv4 address the
// system gives. Returns 0, or the Winsock number of the failure.
int resolveIpv4(const std::string& host, uint16_t port, sockaddr_in& address);

// A new non-blocking IPv4 TCP socket that child processes do not inherit; kInvalidSocket on
// failure.
SocketHandle openTcpSocket();
// Accepts one client of a non-blocking listening socket; the client socket is non-blocking too
// (on Windows it inherits the mode). kInvalidSocket on failure (would-block included). With
// `loopback`, tells whether the client came from a loopback address (this machine).
SocketHandle acceptSocket(SocketHandle listener, bool* loopback = nullptr);
void closeSocket(SocketHandle socket);

bool setSocketBlocking(SocketHandle socket, bool blocking);
bool setIntOption(SocketHandle socket, int level, int name, int value);

// Prepares a listening socket's claim on its address before bind: the port stays this
// process's, and a listener started again on it (stop, then start) binds while connections
// accepted by the earlier listener are still open. On Windows no option at all is set (see
// socket_compat_win.cpp); elsewhere SO_REUSEADDR, which there only lets a bind go past
// connections of an earlier listener (open or in TIME_WAIT), never past a listening socket.
bool prepareListenerAddress(SocketHandle listener);
// True when a failed accept() means that descriptors, buffers or memory have run out, so that
// retrying at once would only spin.
bool isResourceExhaustion(int wsaCode);
// The pending error of `socket` (SO_ERROR) as a Winsock number, 0 when there is none; reading
// it clears it.
int socketErrorOf(SocketHandle socket);
// Ends the sending direction: the peer reads the end of the stream after what was sent.
bool shutdownSending(SocketHandle socket);
// Makes the next close of `socket` a reset (a zero linger), so that the peer sees a failure
// rather than a clean end of the stream.
bool setResetOnClose(SocketHandle socket);

// Waits until one of `entries` is ready: the number of ready entries, 0 when `timeoutMs` passed
// first (-1 waits for ever), -1 on failure (see lastSocketError()).
int pollSockets(PollEntry* entries, size_t count, int timeoutMs);

// As pollSockets, for waits where some of the sockets are connecting (they ask for kPollOut):
// a connect that has failed is reported as kPollErr on every platform. At most 1024 entries.
int pollConnecting(PollEntry* entries, size_t count, int timeoutMs);

// Wait until `socket` is readable: 1 when it is, 0 when `timeoutMs` passed first (-1 waits for
// ever), -1 on failure (see lastSocketError()). Any descriptor value works.
int waitReadable(SocketHandle socket, int timeoutMs);

// One send / receive call. Sending never raises SIGPIPE. Result as the system's: the count,
// 0 for an orderly close on receive, -1 on failure.
long sendSome(SocketHandle socket, const char* data, size_t size);
long recvSome(SocketHandle socket, char* data, size_t size);
// A receive that leaves what it returns in the socket (MSG_PEEK).
long peekSome(SocketHandle socket, char* data, size_t size);

// Sends every byte on a blocking socket, repeating for what a call did not take. Returns the
// number of bytes sent: `size` on success, less when a call failed (see lastSocketError()).
size_t sendAll(SocketHandle socket, const char* data, size_t size);

// Owns one socket and closes it when it goes out of scope. Hand-overs are moves.
class Socket {
 public:
  Socket() = default;
  explicit Socket(SocketHandle handle) : handle_(handle) {}
  ~Socket() { reset(); }
  Socket(Socket&& other) noexcept : handle_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  SocketHandle get() const { return handle_; }
  bool valid() const { return handle_ != kInvalidSocket; }
  SocketHandle release() { return std::exchange(handle_, kInvalidSocket); }
  void reset(SocketHandle handle = kInvalidSocket) {
    if (handle_ != kInvalidSocket) closeSocket(handle_);
    handle_ = handle;
  }

 private:
  SocketHandle handle_ = kInvalidSocket;
};

}  // namespace quillon
