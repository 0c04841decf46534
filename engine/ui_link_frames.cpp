#include "ui_link_frames.h"

#include <cstring>

namespace standin::link {
namespace {

void putU32(std::vector<uint8_t>& out, uint32_t value) {
  for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

uint32_t getU32(const uint8_t* data) {
  return static_cast<uint32_t>(data[0]) | (static_cast<uint32_t>(data[1]) << 8) |
         (static_cast<uint32_t>(data[2]) << 16) | (static_cast<uint32_t>(data[3]) << 24);
}

bool knownKind(uint8_t kind) {
  return kind >= static_cast<uint8_t>(FrameKind::kHello) &&
         kind <= static_cast<uint8_t>(FrameKind::kPush);
}

// Reads a u32 at `pos` when it fits; advances `pos`.
bool readU32(const uint8_t* body, size_t size, size_t& pos, uint32_t& value) {
  if (size - pos < 4) return false;
  value = getU32(body + pos);
  pos += 4;
  return true;
}

bool readChannel(const uint8_t* body, size_t size, size_t& pos, std::string& channel) {
  uint32_t length = 0;
  if (!readU32(body, size, pos, length) || size - pos < length) return false;
  channel.assign(reinterpret_cast<const char*>(body + pos), length);
  pos += length;
  return true;
}

}  // namespace

std::vector<uint8_t> encodeFrame(const Frame& frame) {
  std::vector<uint8_t> body;
  body.push_back(static_cast<uint8_t>(frame.kind));
  switch (frame.kind) {
    case FrameKind::kHello:
      body.insert(body.end(), frame.text.begin(), frame.text.end());
      break;
    case FrameKind::kWelcome:
      break;
    case FrameKind::kCall:
      putU32(body, frame.id);
      putU32(body, static_cast<uint32_t>(frame.text.size()));
      body.insert(body.end(), frame.text.begin(), frame.text.end());
      body.insert(body.end(), frame.message.begin(), frame.message.end());
      break;
    case FrameKind::kReply:
      putU32(body, frame.id);
      body.insert(body.end(), frame.message.begin(), frame.message.end());
      break;
    case FrameKind::kPush:
      putU32(body, static_cast<uint32_t>(frame.text.size()));
      body.insert(body.end(), frame.text.begin(), frame.text.end());
      body.insert(body.end(), frame.message.begin(), frame.message.end());
      break;
  }
  if (body.size() > kMaxFrameBody) return {};
  std::vector<uint8_t> out;
  out.reserve(4 + body.size());
  putU32(out, static_cast<uint32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

bool decodeFrameBody(const uint8_t* body, size_t size, Frame& out) {
  if (size == 0 || !knownKind(body[0])) return false;
  out = Frame{};
  out.kind = static_cast<FrameKind>(body[0]);
  size_t pos = 1;
  switch (out.kind) {
    case FrameKind::kHello:
      out.text.assign(reinterpret_cast<const char*>(body + pos), size - pos);
      return true;
    case FrameKind::kWelcome:
      return size == 1;
    case FrameKind::kCall:
      if (!readU32(body, size, pos, out.id) || !readChannel(body, size, pos, out.text)) {
        return false;
      }
      break;
    case FrameKind::kReply:
      if (!readU32(body, size, pos, out.id)) return false;
      break;
    case FrameKind::kPush:
      if (!readChannel(body, size, pos, out.text)) return false;
      break;
  }
  out.message.assign(body + pos, body + size);
  return true;
}

void FrameReader::append(const uint8_t* data, size_t size) {
  if (bad_ || size == 0) return;
  // Drop what was consumed before growing, so the buffer never holds old frames.
  if (consumed_ > 0 && consumed_ * 2 >= buffer_.size()) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
  }
  buffer_.insert(buffer_.end(), data, data + size);
}

ReadStatus FrameReader::next(Frame& out) {
  if (bad_) return ReadStatus::kBad;
  size_t available = buffered();
  if (available < 4) return ReadStatus::kNeedMore;
  const uint8_t* start = buffer_.data() + consumed_;
  uint32_t length = getU32(start);
  if (length == 0 || length > kMaxFrameBody || (available > 4 && !knownKind(start[4]))) {
    bad_ = true;
    return ReadStatus::kBad;
  }
  if (available - 4 < length) return ReadStatus::kNeedMore;
  if (!decodeFrameBody(start + 4, length, out)) {
    bad_ = true;
    return ReadStatus::kBad;
  }
  consumed_ += 4 + static_cast<size_t>(length);
  if (consumed_ == buffer_.size()) {
    buffer_.clear();
    consumed_ = 0;
  }
  return ReadStatus::kFrame;
}

}  // namespace standin::link
