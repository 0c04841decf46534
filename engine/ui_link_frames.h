// Frames of the UI link, the loopback connection over which a test or tool plays the UI side of
// the engine stand-in. Shared by the stand-in (server) and the UI driver (client).
//
// On the wire every frame is a 32-bit little-endian body length followed by the body; the body
// starts with one kind byte:
//   Hello    (client -> server)  the token as text; must be the connection's first frame
//   Welcome  (server -> client)  nothing; the token was accepted
//   Call     (client -> server)  u32 id, u32 channel length, channel, encoded message
//   Reply    (server -> client)  u32 id, encoded reply (empty when the program had nothing to say)
//   Push     (server -> client)  u32 channel length, channel, encoded message the program sent
// All numbers are little-endian. A body is at most kMaxFrameBody bytes.
#ifndef QUILLON_ENGINE_UI_LINK_FRAMES_H_
#define QUILLON_ENGINE_UI_LINK_FRAMES_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace standin::link {

inline constexpr uint32_t kMaxFrameBody = 16u * 1024u * 1024u;
// The token is this many lowercase hexadecimal characters.
inline constexpr size_t kTokenLength = 32;

enum class FrameKind : uint8_t {
  kHello = 1,
  kWelcome = 2,
  kCall = 3,
  kReply = 4,
  kPush = 5,
};

struct Frame {
  FrameKind kind = FrameKind::kHello;
  uint32_t id = 0;               // kCall, kReply
  std::string text;              // kHello: the token; kCall, kPush: the channel
  std::vector<uint8_t> message;  // kCall, kReply, kPush
};

// The frame's bytes on the wire (length prefix included); empty when the body would exceed
// kMaxFrameBody.
std::vector<uint8_t> encodeFrame(const Frame& frame);

// Decodes one body (kind byte first, without the length prefix). False when the kind is
// unknown or the fields do not fit the body exactly.
bool decodeFrameBody(const uint8_t* body, size_t size, Frame& out);

enum class ReadStatus { kFrame, kNeedMore, kBad };

// Splits a byte stream into frames. A length of zero or above kMaxFrameBody, and an unknown
// kind, are reported as soon as their bytes arrive, before the body is buffered. After kBad the
// stream is unusable; the connection should be closed. Memory held is bounded by the largest
// allowed frame plus whatever the caller appends in one go.
class FrameReader {
 public:
  void append(const uint8_t* data, size_t size);
  ReadStatus next(Frame& out);
  size_t buffered() const { return buffer_.size() - consumed_; }

 private:
  std::vector<uint8_t> buffer_;
  size_t consumed_ = 0;
  bool bad_ = false;
};

}  // namespace standin::link

#endif  // QUILLON_ENGINE_UI_LINK_FRAMES_H_
