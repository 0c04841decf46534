// Turns EncodableValue trees into the standard message codec's bytes and back. Stateless: one
// shared instance serves every channel and any thread (each stream used by one thread).
#pragma once

#include <cstddef>
#include <cstdint>

#include "bridge/byte_streams.h"
#include "bridge/encodable_value.h"

namespace flutter {

class StandardCodecSerializer {
 public:
  // Containers (lists and maps) may nest this deep; a deeper one is rejected like a read past
  // the end, so a hostile message cannot exhaust the stack.
  static constexpr int kMaxNestingDepth = 128;

  static const StandardCodecSerializer& instance();

  // Reads one tag byte and the value it introduces. Never throws for malformed input: reads
  // past the end, unknown tags, impossible sizes and too deep nesting are logged and yield
  // null (or the zero-filled value the short read left behind).
  EncodableValue ReadValue(ByteStreamReader* reader) const;
  // Reads the payload of a value whose tag `type` was already read.
  EncodableValue ReadValueOfType(uint8_t type, ByteStreamReader* reader) const;
  // Writes the tag and payload of `value`. A custom value cannot be written: it is logged and
  // written as null.
  void WriteValue(const EncodableValue& value, ByteStreamWriter* writer) const;

  // The size prefix of strings, lists and maps: one byte below 254, else 254 and two bytes,
  // else 255 and four bytes (little-endian).
  static size_t ReadSize(ByteStreamReader* reader);
  static void WriteSize(size_t size, ByteStreamWriter* writer);

 private:
  EncodableValue readValueAt(ByteStreamReader* reader, int depth) const;
  EncodableValue readValueOfTypeAt(uint8_t type, ByteStreamReader* reader, int depth) const;
};

}  // namespace flutter
