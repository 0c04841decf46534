#include "link_socket.h"

namespace standin::link {

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    handle_ = other.release();
  }
  return *this;
}

intptr_t Socket::release() {
  intptr_t handle = handle_;
  handle_ = kInvalid;
  return handle;
}

}  // namespace standin::link
