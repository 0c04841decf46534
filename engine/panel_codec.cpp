#include "panel_codec.h"

#include <cstring>

namespace standin::panel {
namespace {

enum Tag : uint8_t {
  kNull = 0,
  kTrue = 1,
  kFalse = 2,
  kInt32 = 3,
  kInt64 = 4,
  kLargeInt = 5,
  kFloat64 = 6,
  kString = 7,
  kUint8List = 8,
  kInt32List = 9,
  kInt64List = 10,
  kFloat64List = 11,
  kList = 12,
  kMap = 13,
  kFloat32List = 14,
};

constexpr int kMaxDepth = 32;

void writeSize(std::vector<uint8_t>& out, size_t size) {
  if (size < 254) {
    out.push_back(static_cast<uint8_t>(size));
  } else if (size <= 0xFFFF) {
    out.push_back(254);
    out.push_back(static_cast<uint8_t>(size));
    out.push_back(static_cast<uint8_t>(size >> 8));
  } else {
    out.push_back(255);
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(size >> shift));
  }
}

void writeString(std::vector<uint8_t>& out, const std::string& text) {
  out.push_back(kString);
  writeSize(out, text.size());
  out.insert(out.end(), text.begin(), text.end());
}

// Reads within [data, data + size); every read reports failure instead of passing the end.
class Reader {
 public:
  Reader(const uint8_t* data, size_t size) : data_(data), size_(size) {}

  bool atEnd() const { return position_ == size_; }
  bool byte(uint8_t& out) {
    if (position_ >= size_) return false;
    out = data_[position_++];
    return true;
  }
  bool skip(size_t count) {
    if (count > size_ - position_) return false;
    position_ += count;
    return true;
  }
  // Padding before 8-byte values counts from the start of the message.
  bool align(size_t alignment) {
    size_t rest = position_ % alignment;
    return rest == 0 || skip(alignment - rest);
  }
  bool littleEndian(int bytes, uint64_t& out) {
    if (static_cast<size_t>(bytes) > size_ - position_) return false;
    out = 0;
    for (int i = 0; i < bytes; ++i) out |= static_cast<uint64_t>(data_[position_ + i]) << (8 * i);
    position_ += bytes;
    return true;
  }
  bool size(size_t& out) {
    uint8_t first = 0;
    if (!byte(first)) return false;
    uint64_t wide = first;
    if (first == 254 && !littleEndian(2, wide)) return false;
    if (first == 255 && !littleEndian(4, wide)) return false;
    out = static_cast<size_t>(wide);
    return true;
  }
  bool bytes(size_t count, std::string& out) {
    if (count > size_ - position_) return false;
    out.assign(reinterpret_cast<const char*>(data_ + position_), count);
    position_ += count;
    return true;
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
};

bool readValue(Reader& reader, Value& out, int depth);

bool readTyped(Reader& reader, uint8_t tag, Value& out, int depth) {
  uint64_t raw = 0;
  size_t count = 0;
  switch (tag) {
    case kNull:
      out.kind = Value::Kind::kNull;
      return true;
    case kTrue:
    case kFalse:
      out.kind = Value::Kind::kBool;
      out.boolean = tag == kTrue;
      return true;
    case kInt32:
      if (!reader.littleEndian(4, raw)) return false;
      out.kind = Value::Kind::kInt;
      out.integer = static_cast<int32_t>(static_cast<uint32_t>(raw));
      return true;
    case kInt64:
      if (!reader.littleEndian(8, raw)) return false;
      out.kind = Value::Kind::kInt;
      out.integer = static_cast<int64_t>(raw);
      return true;
    case kFloat64:
      out.kind = Value::Kind::kOther;
      return reader.align(8) && reader.skip(8);
    case kString:
    case kLargeInt:
      out.kind = tag == kString ? Value::Kind::kString : Value::Kind::kOther;
      return reader.size(count) && reader.bytes(count, out.text);
    case kUint8List:
      out.kind = Value::Kind::kOther;
      return reader.size(count) && reader.skip(count);
    case kInt32List:
    case kFloat32List:
      out.kind = Value::Kind::kOther;
      return reader.size(count) && reader.align(4) && count <= SIZE_MAX / 4 &&
             reader.skip(count * 4);
    case kInt64List:
    case kFloat64List:
      out.kind = Value::Kind::kOther;
      return reader.size(count) && reader.align(8) && count <= SIZE_MAX / 8 &&
             reader.skip(count * 8);
    case kList:
    case kMap: {
      if (depth >= kMaxDepth || !reader.size(count)) return false;
      out.kind = tag == kList ? Value::Kind::kList : Value::Kind::kMap;
      out.length = count;
      for (size_t i = 0; i < count; ++i) {
        Value key;
        if (!readValue(reader, key, depth + 1)) return false;
        if (tag == kList) continue;
        Value value;
        if (!readValue(reader, value, depth + 1)) return false;
        if (key.kind == Value::Kind::kString && value.kind == Value::Kind::kInt) {
          out.numbers[key.text] = value.integer;
        }
      }
      return true;
    }
    default:
      return false;
  }
}

bool readValue(Reader& reader, Value& out, int depth) {
  uint8_t tag = 0;
  return reader.byte(tag) && readTyped(reader, tag, out, depth);
}

}  // namespace

std::vector<uint8_t> encodeCall(const std::string& method,
                                const std::vector<std::pair<std::string, Argument>>& arguments) {
  std::vector<uint8_t> out;
  writeString(out, method);
  if (arguments.empty()) {
    out.push_back(kNull);
    return out;
  }
  out.push_back(kMap);
  writeSize(out, arguments.size());
  for (const auto& [key, value] : arguments) {
    writeString(out, key);
    if (const auto* text = std::get_if<std::string>(&value)) {
      writeString(out, *text);
    } else {
      uint32_t number = static_cast<uint32_t>(std::get<int32_t>(value));
      out.push_back(kInt32);
      for (int shift = 0; shift < 32; shift += 8)
        out.push_back(static_cast<uint8_t>(number >> shift));
    }
  }
  return out;
}

std::vector<uint8_t> encodeStringListReply(const std::vector<std::string>& texts) {
  std::vector<uint8_t> out{0x00, kList};
  writeSize(out, texts.size());
  for (const std::string& text : texts) writeString(out, text);
  return out;
}

Reply decodeReply(const uint8_t* data, size_t size) {
  Reply reply;
  if (size == 0) return reply;
  Reader reader(data, size);
  uint8_t envelope = 0;
  reader.byte(envelope);
  if (envelope == 0 && readValue(reader, reply.value, 0) && reader.atEnd()) {
    reply.kind = Reply::Kind::kSuccess;
    return reply;
  }
  Value code;
  if (envelope == 1 && readValue(reader, code, 0) && code.kind == Value::Kind::kString) {
    reply.kind = Reply::Kind::kError;
    reply.code = code.text;
    return reply;
  }
  reply.kind = Reply::Kind::kMalformed;
  return reply;
}

std::optional<Call> decodeCall(const uint8_t* data, size_t size) {
  Reader reader(data, size);
  Value method;
  Call call;
  if (!readValue(reader, method, 0) || method.kind != Value::Kind::kString) return std::nullopt;
  if (!readValue(reader, call.arguments, 0) || !reader.atEnd()) return std::nullopt;
  call.method = method.text;
  return call;
}

}  // namespace standin::panel
