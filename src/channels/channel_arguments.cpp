#include "channels/channel_arguments.h"

namespace quillon {

const flutter::EncodableMap* argumentMap(const flutter::EncodableValue& arguments) {
  return std::get_if<flutter::EncodableMap>(&arguments);
}

namespace {

const flutter::EncodableValue* findKey(const flutter::EncodableMap& map, const char* key) {
  const auto it = map.find(flutter::EncodableValue(std::string(key)));
  return it == map.end() ? nullptr : &it->second;
}

}  // namespace

std::string stringArgument(const flutter::EncodableMap& map, const char* key,
                           const std::string& fallback) {
  const flutter::EncodableValue* value = findKey(map, key);
  if (value == nullptr) return fallback;
  const auto* text = std::get_if<std::string>(value);
  return text != nullptr ? *text : fallback;
}

int32_t int32Argument(const flutter::EncodableMap& map, const char* key, int32_t fallback) {
  const flutter::EncodableValue* value = findKey(map, key);
  if (value == nullptr) return fallback;
  const auto* number = std::get_if<int32_t>(value);
  return number != nullptr ? *number : fallback;
}

}  // namespace quillon
