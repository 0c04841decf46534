#include "bridge/standard_codec_serializer.h"

#include <bit>
#include <limits>
#include <string>
#include <type_traits>
#include <vector>

#include "log/app_log.h"

namespace flutter {
namespace {

// Wire tags.
enum Tag : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kLargeInt = 5,
  kFloat64 = 6,
  kString = 7,
  kUInt8List = 8,
  kInt32List = 9,
  kInt64List = 10,
  kFloat64List = 11,
  kList = 12,
  kMap = 13,
  kFloat32List = 14,
};

// Numbers on the wire are little-endian whatever the host's order is.
template <typename T>
void writeNumber(T value, ByteStreamWriter* writer) {
  using Bits = std::conditional_t<sizeof(T) == 2, uint16_t,
                                  std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>;
  Bits bits = std::bit_cast<Bits>(value);
  uint8_t bytes[sizeof(T)];
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<uint8_t>(bits >> (8 * i));
  writer->writeBytes(bytes, sizeof(T));
}

// A short read leaves the bytes zero, so the number read is 0.
template <typename T>
T readNumber(ByteStreamReader* reader) {
  using Bits = std::conditional_t<sizeof(T) == 2, uint16_t,
                                  std::conditional_t<sizeof(T) == 4, uint32_t, uint64_t>>;
  uint8_t bytes[sizeof(T)] = {};
  reader->readBytes(bytes, sizeof(T));
  Bits bits = 0;
  for (size_t i = 0; i < sizeof(T); ++i) bits |= static_cast<Bits>(bytes[i]) << (8 * i);
  return std::bit_cast<T>(bits);
}

template <typename T>
void writeNumberList(const std::vector<T>& list, ByteStreamWriter* writer) {
  StandardCodecSerializer::WriteSize(list.size(), writer);
  writer->writeAlignment(sizeof(T));
  for (T element : list) writeNumber(element, writer);
}

template <typename T>
EncodableValue readNumberList(ByteStreamReader* reader) {
  const size_t count = StandardCodecSerializer::ReadSize(reader);
  reader->readAlignment(sizeof(T));
  if (count > std::numeric_limits<size_t>::max() / sizeof(T) ||
      !reader->expectBytes(count * sizeof(T))) {
    return EncodableValue();
  }
  std::vector<T> list;
  list.reserve(count);
  for (size_t i = 0; i < count; ++i) list.push_back(readNumber<T>(reader));
  return list;
}

// Strings and byte lists: a size, then that many raw bytes.
template <typename Bytes>
EncodableValue readByteRun(ByteStreamReader* reader) {
  const size_t size = StandardCodecSerializer::ReadSize(reader);
  if (!reader->expectBytes(size)) return EncodableValue();
  Bytes bytes(size, 0);
  if (size > 0) reader->readBytes(reinterpret_cast<uint8_t*>(bytes.data()), size);
  return bytes;
}

void writeByteRun(const void* data, size_t size, ByteStreamWriter* writer) {
  StandardCodecSerializer::WriteSize(size, writer);
  if (size > 0) writer->writeBytes(static_cast<const uint8_t*>(data), size);
}

}  // namespace

const StandardCodecSerializer& StandardCodecSerializer::instance() {
  static const StandardCodecSerializer serializer;
  return serializer;
}

size_t StandardCodecSerializer::ReadSize(ByteStreamReader* reader) {
  const uint8_t first = reader->readByte();
  if (first < 254) return first;
  if (first == 254) return readNumber<uint16_t>(reader);
  return readNumber<uint32_t>(reader);
}

void StandardCodecSerializer::WriteSize(size_t size, ByteStreamWriter* writer) {
  if (size < 254) {
    writer->writeByte(static_cast<uint8_t>(size));
  } else if (size <= 0xFFFF) {
    writer->writeByte(254);
    writeNumber(static_cast<uint16_t>(size), writer);
  } else {
    writer->writeByte(255);
    writeNumber(static_cast<uint32_t>(size), writer);
  }
}

EncodableValue StandardCodecSerializer::ReadValue(ByteStreamReader* reader) const {
  return readValueAt(reader, 0);
}

EncodableValue StandardCodecSerializer::ReadValueOfType(uint8_t type,
                                                        ByteStreamReader* reader) const {
  return readValueOfTypeAt(type, reader, 0);
}

EncodableValue StandardCodecSerializer::readValueAt(ByteStreamReader* reader, int depth) const {
  return readValueOfTypeAt(reader->readByte(), reader, depth);
}

EncodableValue StandardCodecSerializer::readValueOfTypeAt(uint8_t type, ByteStreamReader* reader,
                                                          int depth) const {
  switch (type) {
    case kNull:
      return EncodableValue();
    case kTrue:
      return true;
    case kFalse:
      return false;
    case kInt32:
      return readNumber<int32_t>(reader);
    case kInt64:
      return readNumber<int64_t>(reader);
    case kFloat64:
      reader->readAlignment(8);
      return readNumber<double>(reader);
    case kLargeInt:  // the digits stay text; nothing on this side does arithmetic with them
    case kString:
      return readByteRun<std::string>(reader);
    case kUInt8List:
      return readByteRun<std::vector<uint8_t>>(reader);
    case kInt32List:
      return readNumberList<int32_t>(reader);
    case kInt64List:
      return readNumberList<int64_t>(reader);
    case kFloat64List:
      return readNumberList<double>(reader);
    case kFloat32List:
      return readNumberList<float>(reader);
    case kList: {
      if (depth >= kMaxNestingDepth) {
        reader->rejectRest();
        return EncodableValue();
      }
      const size_t count = ReadSize(reader);
      // Every element takes at least its tag byte.
      if (!reader->expectBytes(count)) return EncodableValue();
      EncodableList list;
      list.reserve(count);
      for (size_t i = 0; i < count; ++i) list.push_back(readValueAt(reader, depth + 1));
      return list;
    }
    case kMap: {
      if (depth >= kMaxNestingDepth) {
        reader->rejectRest();
        return EncodableValue();
      }
      const size_t count = ReadSize(reader);
      // Every pair takes at least two tag bytes.
      if (count > std::numeric_limits<size_t>::max() / 2 || !reader->expectBytes(count * 2)) {
        return EncodableValue();
      }
      EncodableMap map;
      for (size_t i = 0; i < count; ++i) {
        EncodableValue key = readValueAt(reader, depth + 1);
        EncodableValue value = readValueAt(reader, depth + 1);
        map.emplace(std::move(key), std::move(value));
      }
      return map;
    }
    default:
      quillon::logError("Unknown type in StandardCodecSerializer::ReadValueOfType: ",
                        static_cast<int>(type));
      return EncodableValue();
  }
}

void StandardCodecSerializer::WriteValue(const EncodableValue& value,
                                         ByteStreamWriter* writer) const {
  std::visit(
      [this, writer](const auto& payload) {
        using T = std::decay_t<decltype(payload)>;
        if constexpr (std::is_same_v<T, std::monostate>) {
          writer->writeByte(kNull);
        } else if constexpr (std::is_same_v<T, bool>) {
          writer->writeByte(payload ? kTrue : kFalse);
        } else if constexpr (std::is_same_v<T, int32_t>) {
          writer->writeByte(kInt32);
          writeNumber(payload, writer);
        } else if constexpr (std::is_same_v<T, int64_t>) {
          writer->writeByte(kInt64);
          writeNumber(payload, writer);
        } else if constexpr (std::is_same_v<T, double>) {
          writer->writeByte(kFloat64);
          writer->writeAlignment(8);
          writeNumber(payload, writer);
        } else if constexpr (std::is_same_v<T, std::string>) {
          writer->writeByte(kString);
          writeByteRun(payload.data(), payload.size(), writer);
        } else if constexpr (std::is_same_v<T, std::vector<uint8_t>>) {
          writer->writeByte(kUInt8List);
          writeByteRun(payload.data(), payload.size(), writer);
        } else if constexpr (std::is_same_v<T, std::vector<int32_t>>) {
          writer->writeByte(kInt32List);
          writeNumberList(payload, writer);
        } else if constexpr (std::is_same_v<T, std::vector<int64_t>>) {
          writer->writeByte(kInt64List);
          writeNumberList(payload, writer);
        } else if constexpr (std::is_same_v<T, std::vector<double>>) {
          writer->writeByte(kFloat64List);
          writeNumberList(payload, writer);
        } else if constexpr (std::is_same_v<T, std::vector<float>>) {
          writer->writeByte(kFloat32List);
          writeNumberList(payload, writer);
        } else if constexpr (std::is_same_v<T, EncodableList>) {
          writer->writeByte(kList);
          WriteSize(payload.size(), writer);
          for (const EncodableValue& element : payload) WriteValue(element, writer);
        } else if constexpr (std::is_same_v<T, EncodableMap>) {
          writer->writeByte(kMap);
          WriteSize(payload.size(), writer);
          for (const auto& [key, mapped] : payload) {
            WriteValue(key, writer);
            WriteValue(mapped, writer);
          }
        } else {
          static_assert(std::is_same_v<T, CustomEncodableValue>);
          writer->writeByte(kNull);
          quillon::logError("Unhandled custom type in StandardCodecSerializer::WriteValue. ",
                            "Custom types require codec extensions.");
        }
      },
      static_cast<const EncodableVariant&>(value));
}

}  // namespace flutter
