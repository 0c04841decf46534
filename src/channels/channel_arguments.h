// Reading method-call arguments the way both channels of the application state do: arguments
// must be a map with string keys; a value of the wrong type counts as absent.
#pragma once

#include <cstdint>
#include <string>

#include "bridge/encodable_value.h"

namespace quillon {

// The arguments as a map, or null when they are absent or of any other type.
const flutter::EncodableMap* argumentMap(const flutter::EncodableValue& arguments);

// The string stored under `key`, or `fallback` when the key is missing or holds another type.
std::string stringArgument(const flutter::EncodableMap& map, const char* key,
                           const std::string& fallback = std::string());

// The int32 stored under `key`, or `fallback` when the key is missing or holds anything else
// (an int64, a double and a string all count as absent).
int32_t int32Argument(const flutter::EncodableMap& map, const char* key, int32_t fallback);

// True for a TCP port number that can actually be used: 1 to 65535.
inline bool isUsablePort(int32_t port) { return port >= 1 && port <= 65535; }

}  // namespace quillon
