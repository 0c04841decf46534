#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

#include "proxy/wake_signal.h"

namespace quillon {

WakeSignal::WakeSignal() : handle_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

WakeSignal::~WakeSignal() {
  if (handle_ >= 0) ::close(handle_);
}

void WakeSignal::raise() {
  // The counter is never read back, so the descriptor stays readable for every later wait.
  const uint64_t one = 1;
  ssize_t written;
  do {
    written = ::write(handle_, &one, sizeof one);
  } while (written < 0 && errno == EINTR);
}

bool WakeSignal::raised() const { return waitReadable(handle_, 0) > 0; }

void WakeSignal::clear() {
  // Reading an eventfd returns its counter and sets it to 0.
  uint64_t count = 0;
  ssize_t n;
  do {
    n = ::read(handle_, &count, sizeof count);
  } while (n < 0 && errno == EINTR);
}

}  // namespace quillon
