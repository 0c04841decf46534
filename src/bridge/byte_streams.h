// Byte sources and sinks for the standard message codec. Alignment is always measured from the
// start of the message, never from memory addresses.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace flutter {

class ByteStreamReader {
 public:
  virtual ~ByteStreamReader() = default;

  // Reads one byte. Past the end it logs the invalid read, returns 0 and does not advance.
  virtual uint8_t readByte() = 0;
  // Reads `count` bytes into `destination`. When fewer are left it logs the invalid read,
  // leaves `destination` untouched and does not advance.
  virtual void readBytes(uint8_t* destination, size_t count) = 0;
  // Skips bytes until the offset from the message start is a multiple of `alignment`.
  virtual void readAlignment(uint8_t alignment) = 0;
  // Checks that `count` more bytes are left before a caller allocates room for them. When they
  // are not, rejects the rest of the message (see below) and returns false, so that a size
  // prefix announcing more than the message holds costs nothing.
  virtual bool expectBytes(size_t count) = 0;
  // Gives up on the rest of the message: logs the invalid read and moves to the end, so that
  // every later read fails as well.
  virtual void rejectRest() = 0;
};

class ByteStreamWriter {
 public:
  virtual ~ByteStreamWriter() = default;

  virtual void writeByte(uint8_t byte) = 0;
  virtual void writeBytes(const uint8_t* bytes, size_t count) = 0;
  // Appends zero bytes until the number written so far is a multiple of `alignment`.
  virtual void writeAlignment(uint8_t alignment) = 0;
};

// Reads a message held in memory that it does not own; the bytes must outlive the reader.
class ByteBufferStreamReader : public ByteStreamReader {
 public:
  ByteBufferStreamReader(const uint8_t* bytes, size_t size) : bytes_(bytes), size_(size) {}

  uint8_t readByte() override;
  void readBytes(uint8_t* destination, size_t count) override;
  void readAlignment(uint8_t alignment) override;
  bool expectBytes(size_t count) override;
  void rejectRest() override;

  // Bytes left after the read position (0 once alignment has skipped past the end).
  size_t remaining() const { return position_ < size_ ? size_ - position_ : 0; }
  size_t position() const { return position_; }

 private:
  const uint8_t* bytes_;
  size_t size_;
  size_t position_ = 0;
};

// Appends to a byte vector that it does not own.
class ByteBufferStreamWriter : public ByteStreamWriter {
 public:
  explicit ByteBufferStreamWriter(std::vector<uint8_t>* buffer) : buffer_(buffer) {}

  void writeByte(uint8_t byte) override;
  void writeBytes(const uint8_t* bytes, size_t count) override;
  void writeAlignment(uint8_t alignment) override;

 private:
  std::vector<uint8_t>* buffer_;
};

}  // namespace flutter
