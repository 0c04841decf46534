#include <windows.h>
// bcrypt.h needs the basic Windows types first.
#include <bcrypt.h>

#include "secure_random.h"

namespace standin {

bool secureRandomBytes(uint8_t* data, size_t size) {
  while (size > 0) {
    ULONG chunk = size > 0x10000000 ? 0x10000000 : static_cast<ULONG>(size);
    if (BCryptGenRandom(nullptr, data, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return false;
    data += chunk;
    size -= chunk;
  }
  return true;
}

}  // namespace standin
