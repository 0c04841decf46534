// Loopback TCP sockets for the UI link: just what the stand-in's server and the UI driver need.
// Every function reports failure as a value; the error text names the failing call and the
// system's error number.
#ifndef QUILLON_ENGINE_LINK_SOCKET_H_
#define QUILLON_ENGINE_LINK_SOCKET_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace standin::link {

// A connected or listening socket, closed when destroyed. Move-only.
class Socket {
 public:
  Socket() = default;
  explicit Socket(intptr_t handle) : handle_(handle) {}
  ~Socket() { close(); }
  Socket(Socket&& other) noexcept : handle_(other.release()) {}
  Socket& operator=(Socket&& other) noexcept;
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  bool valid() const { return handle_ != kInvalid; }
  intptr_t handle() const { return handle_; }
  intptr_t release();
  void close();
  // Ends both directions without closing, so a thread blocked on the socket wakes up.
  void shutdownBoth();

  static constexpr intptr_t kInvalid = -1;

 private:
  intptr_t handle_ = kInvalid;
};

// Listens on 127.0.0.1 on an ephemeral port, which is stored in `port`.
Socket listenLoopback(uint16_t& port, std::string& error);
// Accepts one pending client (the listener must be readable).
Socket acceptClient(const Socket& listener, std::string& error);
// Connects to 127.0.0.1:`port`, giving up after `timeoutMs`.
Socket connectLoopback(uint16_t port, int timeoutMs, std::string& error);

// Sends every byte; a blocked send gives up after the socket's send time-out (setSendTimeout).
bool sendAll(const Socket& socket, const uint8_t* data, size_t size);
bool setSendTimeout(const Socket& socket, int timeoutMs);
// Receives up to `size` bytes: the count, 0 when the peer closed, -1 on an error.
long receiveSome(const Socket& socket, uint8_t* data, size_t size);

// Waits until one of `sockets` is readable (or closed by its peer) or `timeoutMs` passes.
// `readable[i]` tells which; returns false on a wait failure.
bool waitReadable(const std::vector<const Socket*>& sockets, int timeoutMs,
                  std::vector<bool>& readable);

}  // namespace standin::link

#endif  // QUILLON_ENGINE_LINK_SOCKET_H_
