// Feeds arbitrary bytes to every decoder of the channel codec. Besides the sanitizers' checks it
// verifies that whatever a message decodes to survives a second encode/decode unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <variant>
#include <vector>

#include "bridge/byte_streams.h"
#include "bridge/standard_codec_serializer.h"
#include "bridge/standard_method_codec.h"

namespace {

std::vector<uint8_t> encode(const flutter::EncodableValue& value) {
  std::vector<uint8_t> bytes;
  flutter::ByteBufferStreamWriter writer(&bytes);
  flutter::StandardCodecSerializer::instance().WriteValue(value, &writer);
  return bytes;
}

flutter::EncodableValue decode(const uint8_t* data, size_t size) {
  flutter::ByteBufferStreamReader reader(data, size);
  return flutter::StandardCodecSerializer::instance().ReadValue(&reader);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Malformed input logs a line per bad read; writing them would only slow the search down.
  std::cerr.rdbuf(nullptr);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<uint8_t> first = encode(decode(data, size));
  const std::vector<uint8_t> second = encode(decode(first.data(), first.size()));
  if (first != second) std::abort();

  const auto& codec = flutter::StandardMethodCodec::instance();
  if (auto call = codec.decodeMethodCall(data, size)) codec.encodeMethodCall(*call);

  flutter::MethodResultFunctions result(nullptr, nullptr, nullptr);
  try {
    codec.decodeAndProcessResponseEnvelope(data, size, &result);
  } catch (const std::bad_variant_access&) {
    // An error envelope with a code or message of the wrong type: a documented outcome.
  }
  return 0;
}
