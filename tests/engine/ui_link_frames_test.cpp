// Frames of the UI link: encoding, stream splitting and rejection of malformed input.
#include <gtest/gtest.h>

#include "ui_link_frames.h"

namespace {

using standin::link::decodeFrameBody;
using standin::link::encodeFrame;
using standin::link::Frame;
using standin::link::FrameKind;
using standin::link::FrameReader;
using standin::link::kMaxFrameBody;
using standin::link::ReadStatus;

Frame makeFrame(FrameKind kind, uint32_t id, std::string text, std::vector<uint8_t> message) {
  Frame frame;
  frame.kind = kind;
  frame.id = id;
  frame.text = std::move(text);
  frame.message = std::move(message);
  return frame;
}

void expectSame(const Frame& a, const Frame& b, const std::string& where) {
  EXPECT_EQ(a.kind, b.kind) << where;
  EXPECT_EQ(a.id, b.id) << where;
  EXPECT_EQ(a.text, b.text) << where;
  EXPECT_EQ(a.message, b.message) << where;
}

const std::vector<Frame>& sampleFrames() {
  static const std::vector<Frame> frames = {
      makeFrame(FrameKind::kHello, 0, "0123456789abcdef0123456789abcdef", {}),
      makeFrame(FrameKind::kWelcome, 0, "", {}),
      makeFrame(FrameKind::kCall, 0xA1B2C3D4, "com.example/channel", {0, 1, 2, 255}),
      makeFrame(FrameKind::kCall, 1, "", {}),
      makeFrame(FrameKind::kReply, 77, "", {9, 8, 7}),
      makeFrame(FrameKind::kReply, 78, "", {}),
      makeFrame(FrameKind::kPush, 0, "stats", std::vector<uint8_t>(300, 0x5A)),
  };
  return frames;
}

TEST(UiLinkFramesTest, CallFrameBytesAreLittleEndianAndLengthPrefixed) {
  EXPECT_EQ(encodeFrame(makeFrame(FrameKind::kCall, 0x01020304, "ab", {0xEE})),
            (std::vector<uint8_t>{12, 0, 0, 0, 3, 4, 3, 2, 1, 2, 0, 0, 0, 'a', 'b', 0xEE}));
  EXPECT_EQ(encodeFrame(makeFrame(FrameKind::kWelcome, 0, "", {})),
            (std::vector<uint8_t>{1, 0, 0, 0, 2}));
}

TEST(UiLinkFramesTest, EveryKindSurvivesTheRoundTripInAnySplit) {
  std::vector<uint8_t> stream;
  for (const Frame& frame : sampleFrames()) {
    std::vector<uint8_t> bytes = encodeFrame(frame);
    stream.insert(stream.end(), bytes.begin(), bytes.end());
  }
  for (size_t chunk : {size_t{1}, size_t{3}, size_t{64}, stream.size()}) {
    FrameReader reader;
    std::vector<Frame> decoded;
    for (size_t pos = 0; pos < stream.size(); pos += chunk) {
      reader.append(stream.data() + pos, std::min(chunk, stream.size() - pos));
      Frame frame;
      ReadStatus status;
      while ((status = reader.next(frame)) == ReadStatus::kFrame) decoded.push_back(frame);
      ASSERT_EQ(status, ReadStatus::kNeedMore) << "chunk " << chunk;
    }
    ASSERT_EQ(decoded.size(), sampleFrames().size()) << "chunk " << chunk;
    for (size_t i = 0; i < decoded.size(); ++i) {
      expectSame(decoded[i], sampleFrames()[i], "chunk " + std::to_string(chunk));
    }
    EXPECT_EQ(reader.buffered(), 0u);
  }
}

TEST(UiLinkFramesTest, EveryPrefixOfAFrameWaitsForMore) {
  std::vector<uint8_t> bytes = encodeFrame(sampleFrames()[2]);
  for (size_t size = 0; size < bytes.size(); ++size) {
    FrameReader reader;
    reader.append(bytes.data(), size);
    Frame frame;
    EXPECT_EQ(reader.next(frame), ReadStatus::kNeedMore) << "prefix " << size;
  }
}

TEST(UiLinkFramesTest, MalformedInputIsRejectedWithoutWaitingForTheBody) {
  struct Row {
    const char* name;
    std::vector<uint8_t> bytes;
  };
  const uint32_t tooLong = kMaxFrameBody + 1;
  const std::vector<Row> rows = {
      {"zero length", {0, 0, 0, 0}},
      {"one past the largest body",
       {static_cast<uint8_t>(tooLong), static_cast<uint8_t>(tooLong >> 8),
        static_cast<uint8_t>(tooLong >> 16), static_cast<uint8_t>(tooLong >> 24)}},
      {"largest length field", {0xFF, 0xFF, 0xFF, 0xFF}},
      {"kind zero", {100, 0, 0, 0, 0}},
      {"unknown kind", {100, 0, 0, 0, 6}},
      {"welcome with a payload", {2, 0, 0, 0, 2, 0}},
      {"call without its id", {3, 0, 0, 0, 3, 1, 0}},
      {"call without its channel length", {5, 0, 0, 0, 3, 1, 0, 0, 0}},
      {"call channel past the body", {10, 0, 0, 0, 3, 1, 0, 0, 0, 2, 0, 0, 0, 'a'}},
      {"reply without its id", {3, 0, 0, 0, 4, 1, 0}},
      {"push channel past the body", {5, 0, 0, 0, 5, 9, 0, 0, 0}},
  };
  for (const Row& row : rows) {
    FrameReader reader;
    reader.append(row.bytes.data(), row.bytes.size());
    Frame frame;
    EXPECT_EQ(reader.next(frame), ReadStatus::kBad) << row.name;
    // A bad stream stays bad, whatever follows.
    std::vector<uint8_t> good = encodeFrame(sampleFrames()[1]);
    reader.append(good.data(), good.size());
    EXPECT_EQ(reader.next(frame), ReadStatus::kBad) << row.name;
  }
}

TEST(UiLinkFramesTest, TheLargestBodyIsAcceptedAndOneMoreIsNotEncoded) {
  Frame largest = makeFrame(FrameKind::kReply, 5, "", std::vector<uint8_t>(kMaxFrameBody - 5, 1));
  std::vector<uint8_t> bytes = encodeFrame(largest);
  ASSERT_EQ(bytes.size(), 4u + kMaxFrameBody);
  Frame decoded;
  ASSERT_TRUE(decodeFrameBody(bytes.data() + 4, bytes.size() - 4, decoded));
  EXPECT_EQ(decoded.message.size(), kMaxFrameBody - 5);
  largest.message.push_back(1);
  EXPECT_TRUE(encodeFrame(largest).empty());
}

}  // namespace
