// Random bytes from the operating system's cryptographic generator.
#ifndef QUILLON_ENGINE_SECURE_RANDOM_H_
#define QUILLON_ENGINE_SECURE_RANDOM_H_

#include <cstddef>
#include <cstdint>

namespace standin {

// Fills `data` completely; false when the generator failed (then nothing may be used).
bool secureRandomBytes(uint8_t* data, size_t size);

}  // namespace standin

#endif  // QUILLON_ENGINE_SECURE_RANDOM_H_
