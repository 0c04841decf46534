#include "bridge/byte_streams.h"

#include <cstring>

#include "log/app_log.h"

namespace flutter {
namespace {

void logInvalidRead() { quillon::logError("Invalid read in StandardCodecByteStreamReader"); }

}  // namespace

uint8_t ByteBufferStreamReader::readByte() {
  if (remaining() < 1) {
    logInvalidRead();
    return 0;
  }
  return bytes_[position_++];
}

void ByteBufferStreamReader::readBytes(uint8_t* destination, size_t count) {
  if (remaining() < count) {
    logInvalidRead();
    return;
  }
  if (count == 0) return;
  std::memcpy(destination, bytes_ + position_, count);
  position_ += count;
}

void ByteBufferStreamReader::readAlignment(uint8_t alignment) {
  if (alignment == 0) return;
  const size_t misalignment = position_ % alignment;
  if (misalignment != 0) position_ += alignment - misalignment;
}

bool ByteBufferStreamReader::expectBytes(size_t count) {
  if (remaining() >= count) return true;
  rejectRest();
  return false;
}

void ByteBufferStreamReader::rejectRest() {
  logInvalidRead();
  position_ = size_;
}

void ByteBufferStreamWriter::writeByte(uint8_t byte) { buffer_->push_back(byte); }

void ByteBufferStreamWriter::writeBytes(const uint8_t* bytes, size_t count) {
  buffer_->insert(buffer_->end(), bytes, bytes + count);
}

void ByteBufferStreamWriter::writeAlignment(uint8_t alignment) {
  if (alignment == 0) return;
  const size_t misalignment = buffer_->size() % alignment;
  if (misalignment != 0) buffer_->resize(buffer_->size() + alignment - misalignment, 0);
}

}  // namespace flutter
