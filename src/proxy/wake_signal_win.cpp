#include "proxy/wake_signal.h"

namespace quillon {

// Winsock waits take sockets only, so the signal is a UDP socket connected to itself on the
// loopback interface: raising it sends one datagram that nobody reads, which leaves the socket
// readable for every later wait. Being connected, it accepts datagrams from itself only.
WakeSignal::WakeSignal() {
  Socket socket(
      ::WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_NO_HANDLE_INHERIT));
  if (!socket.valid()) return;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  if (::bind(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
      ::connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      !setSocketBlocking(socket.get(), false)) {
    return;
  }
  handle_ = socket.release();
}

WakeSignal::~WakeSignal() {
  if (handle_ != kInvalidSocket) closeSocket(handle_);
}

void WakeSignal::raise() {
  if (!raised()) ::send(handle_, "!", 1, 0);
}

bool WakeSignal::raised() const { return waitReadable(handle_, 0) > 0; }

void WakeSignal::clear() {
  // Every datagram that raising sent is read; the socket is non-blocking, so the loop ends with
  // "would block" once none is left.
  char datagram[8];
  while (::recv(handle_, datagram, sizeof datagram, 0) >= 0) {
  }
}

}  // namespace quillon
