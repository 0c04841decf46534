#include <errno.h>
#include <sys/random.h>

#include "secure_random.h"

namespace standin {

bool secureRandomBytes(uint8_t* data, size_t size) {
  while (size > 0) {
    ssize_t got = ::getrandom(data, size, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    data += got;
    size -= static_cast<size_t>(got);
  }
  return true;
}

}  // namespace standin
