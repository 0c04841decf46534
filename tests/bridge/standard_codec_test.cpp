#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <variant>
#include <vector>

#include "bridge/byte_streams.h"
#include "bridge/standard_codec_serializer.h"
#include "bridge/standard_method_codec.h"
#include "log_capture.h"
#include "recording_result.h"

using flutter::ByteBufferStreamReader;
using flutter::ByteBufferStreamWriter;
using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::StandardCodecSerializer;
using flutter::StandardMethodCodec;
using quillon::testing::LogCapture;
using quillon::testing::RecordedOutcome;
using quillon::testing::RecordingResult;
using Bytes = std::vector<uint8_t>;

namespace {

const char kInvalidRead[] = "Invalid read in StandardCodecByteStreamReader";

Bytes encode(const EncodableValue& value) {
  Bytes bytes;
  ByteBufferStreamWriter writer(&bytes);
  StandardCodecSerializer::instance().WriteValue(value, &writer);
  return bytes;
}

EncodableValue decode(const Bytes& bytes, size_t* endPosition = nullptr) {
  ByteBufferStreamReader reader(bytes.data(), bytes.size());
  EncodableValue value = StandardCodecSerializer::instance().ReadValue(&reader);
  if (endPosition) *endPosition = reader.position();
  return value;
}

// A value holding every alternative the codec can write, nested.
EncodableValue everything() {
  EncodableMap inner{{EncodableValue("k"), EncodableValue(int32_t{-7})},
                     {EncodableValue(int32_t{3}), EncodableList{EncodableValue(), true}}};
  return EncodableList{
      EncodableValue(),
      EncodableValue(true),
      EncodableValue(false),
      EncodableValue(int32_t{-123456}),
      EncodableValue(int64_t{0x1122334455667788}),
      EncodableValue(3.25),
      EncodableValue("日本 text"),
      EncodableValue(Bytes{1, 2, 0xFF}),
      EncodableValue(std::vector<int32_t>{1, -2, 3}),
      EncodableValue(std::vector<int64_t>{-1, int64_t{1} << 40}),
      EncodableValue(std::vector<double>{0.5, -1e300}),
      EncodableValue(EncodableList{EncodableValue(int32_t{1}), EncodableList{EncodableValue("x")}}),
      EncodableValue(inner),
      EncodableValue(std::vector<float>{1.5f, -2.25f}),
      EncodableValue(EncodableMap{}),
      EncodableValue(EncodableList{}),
      EncodableValue(std::string()),
      // Last, so that cutting any of its bytes changes the value.
      EncodableValue(int32_t{0x01020304}),
  };
}

}  // namespace

TEST(StandardCodec, ScalarsAreEncodedByteByByte) {
  struct Row {
    EncodableValue value;
    Bytes expected;
  };
  const Row rows[] = {
      {EncodableValue(), {0}},
      {EncodableValue(true), {1}},
      {EncodableValue(false), {2}},
      {EncodableValue(int32_t{-2}), {3, 0xFE, 0xFF, 0xFF, 0xFF}},
      {EncodableValue(int64_t{0x0102030405060708}), {4, 8, 7, 6, 5, 4, 3, 2, 1}},
      // The double starts at offset 8: seven padding bytes follow the tag.
      {EncodableValue(1.0), {6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F}},
      {EncodableValue("ab"), {7, 2, 'a', 'b'}},
      {EncodableValue(std::string()), {7, 0}},
      {EncodableValue(Bytes{9, 8}), {8, 2, 9, 8}},
      {EncodableValue(std::vector<int32_t>{1}), {9, 1, 0, 0, 1, 0, 0, 0}},
      {EncodableValue(std::vector<int32_t>{}), {9, 0, 0, 0}},
      {EncodableValue(std::vector<int64_t>{-1}),
       {10, 1, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
      {EncodableValue(std::vector<double>{2.0}),
       {11, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x40}},
      {EncodableValue(std::vector<float>{1.0f}), {14, 1, 0, 0, 0, 0, 0x80, 0x3F}},
      {EncodableValue(EncodableList{EncodableValue(int32_t{5}), EncodableValue()}),
       {12, 2, 3, 5, 0, 0, 0, 0}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.expected));
    EXPECT_EQ(encode(row.value), row.expected);
    size_t end = 0;
    EXPECT_EQ(decode(row.expected, &end), row.value);
    EXPECT_EQ(end, row.expected.size());
  }
}

TEST(StandardCodec, SizePrefixBoundaries) {
  struct Row {
    size_t length;
    Bytes prefix;
  };
  const Row rows[] = {
      {0, {0}},
      {253, {253}},
      {254, {254, 0xFE, 0x00}},
      {65535, {254, 0xFF, 0xFF}},
      {65536, {255, 0x00, 0x00, 0x01, 0x00}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.length);
    const std::string text(row.length, 'q');
    const Bytes bytes = encode(EncodableValue(text));
    ASSERT_EQ(bytes.size(), 1 + row.prefix.size() + row.length);
    EXPECT_EQ(bytes[0], 7);
    EXPECT_EQ(Bytes(bytes.begin() + 1, bytes.begin() + 1 + row.prefix.size()), row.prefix);
    EXPECT_EQ(decode(bytes), EncodableValue(text));

    // Lists use the same prefix for their element count.
    const Bytes list = encode(EncodableValue(EncodableList(row.length, EncodableValue())));
    EXPECT_EQ(Bytes(list.begin() + 1, list.begin() + 1 + row.prefix.size()), row.prefix);
  }
}

TEST(StandardCodec, AlignmentIsRelativeToTheMessageStart) {
  // [tag list, count 1, tag double] puts the double's padding at offsets 3..7.
  const Bytes expected = {12, 1, 6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xF0, 0x3F};
  const EncodableValue value(EncodableList{EncodableValue(1.0)});
  EXPECT_EQ(encode(value), expected);

  // Read from a deliberately misaligned address: padding still counts from the message start.
  std::vector<uint8_t> storage(expected.size() + 1);
  std::memcpy(storage.data() + 1, expected.data(), expected.size());
  ByteBufferStreamReader reader(storage.data() + 1, expected.size());
  EXPECT_EQ(StandardCodecSerializer::instance().ReadValue(&reader), value);
  EXPECT_EQ(reader.position(), expected.size());
}

TEST(StandardCodec, MapsAreWrittenInKeyOrder) {
  EncodableMap map;
  map[EncodableValue("b")] = EncodableValue(int32_t{1});
  map[EncodableValue("a")] = EncodableValue(int32_t{2});
  const Bytes expected = {13, 2, 7, 1, 'a', 3, 2, 0, 0, 0, 7, 1, 'b', 3, 1, 0, 0, 0};
  EXPECT_EQ(encode(EncodableValue(map)), expected);
  EXPECT_EQ(decode(expected), EncodableValue(map));

  // Keys of different kinds order by kind first, so 32- and 64-bit keys stay distinct.
  EncodableMap mixed{{EncodableValue(int64_t{1}), EncodableValue()},
                     {EncodableValue(int32_t{1}), EncodableValue()},
                     {EncodableValue(std::nan("")), EncodableValue()},
                     {EncodableValue(-0.0), EncodableValue()},
                     {EncodableValue(0.0), EncodableValue()}};
  EXPECT_EQ(mixed.size(), 5u);
  EXPECT_EQ(decode(encode(EncodableValue(mixed))), EncodableValue(mixed));
}

TEST(StandardCodec, LargeIntegerTagReadsAsText) {
  EXPECT_EQ(decode({5, 3, '1', '2', '3'}), EncodableValue("123"));
}

TEST(StandardCodec, UnknownTagIsLoggedAndReadsAsNull) {
  for (int tag : {15, 200, 255}) {
    LogCapture log;
    EXPECT_EQ(decode({static_cast<uint8_t>(tag), 1, 2}), EncodableValue());
    EXPECT_EQ(log.lines(), std::vector<std::string>{
                               "Unknown type in StandardCodecSerializer::ReadValueOfType: " +
                               std::to_string(tag)});
  }
}

TEST(StandardCodec, CustomValueIsWrittenAsNullWithALine) {
  LogCapture log;
  const EncodableValue value(
      EncodableList{EncodableValue(CustomEncodableValue(42)), EncodableValue(true)});
  EXPECT_EQ(encode(value), (Bytes{12, 2, 0, 1}));
  EXPECT_EQ(log.lines(), std::vector<std::string>{
                             "Unhandled custom type in StandardCodecSerializer::WriteValue. "
                             "Custom types require codec extensions."});
  const CustomEncodableValue custom(std::string("object"));
  EXPECT_EQ(std::any_cast<std::string>(custom.object()), "object");
  EXPECT_EQ(EncodableValue(custom), EncodableValue(custom));
}

TEST(StandardCodec, EveryAlternativeRoundTrips) {
  const EncodableValue value = everything();
  LogCapture log;
  const Bytes bytes = encode(value);
  size_t end = 0;
  EXPECT_EQ(decode(bytes, &end), value);
  EXPECT_EQ(end, bytes.size());
  EXPECT_TRUE(log.lines().empty());
}

TEST(StandardCodec, ShortReadsFollowTheReaderRules) {
  LogCapture log;
  // A truncated int32 keeps its zero fill and the reader stays where it was.
  size_t end = 0;
  EXPECT_EQ(decode({3, 1, 2}, &end), EncodableValue(int32_t{0}));
  EXPECT_EQ(end, 1u);
  // A truncated two-byte size reads as 0.
  EXPECT_EQ(decode({7, 254, 5}), EncodableValue(std::string()));
  // A list whose count fits but whose last element is missing gets a null there.
  EXPECT_EQ(decode({12, 2, 1, 0}), EncodableValue(EncodableList{true, EncodableValue()}));
  EXPECT_EQ(log.count(kInvalidRead), 2);
}

TEST(StandardCodec, EveryTruncatedPrefixFailsCleanly) {
  const Bytes whole = encode(everything());
  const auto& codec = StandardMethodCodec::instance();
  const Bytes call = codec.encodeMethodCall(flutter::MethodCall("m", everything()));
  for (size_t length = 0; length < whole.size(); ++length) {
    SCOPED_TRACE(length);
    LogCapture log;
    const Bytes prefix(whole.begin(), whole.begin() + length);
    EXPECT_NE(decode(prefix), everything());
    EXPECT_GE(log.count(kInvalidRead), 1);
  }
  for (size_t length = 0; length < call.size(); ++length) {
    LogCapture log;
    auto decoded = codec.decodeMethodCall(call.data(), length);
    EXPECT_TRUE(decoded == nullptr || decoded->arguments() != everything()) << length;
  }
}

TEST(StandardCodec, OversizedSizePrefixIsOneInvalidRead) {
  const Bytes rows[] = {
      {7, 255, 0xFF, 0xFF, 0xFF, 0xFF},         // a 4 GiB string in six bytes
      {7, 5, 'a', 'b'},                         // a string longer than what is left
      {8, 254, 0xFF, 0xFF, 1, 2, 3},            // bytes
      {12, 255, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0},  // four billion values
      {13, 255, 0x00, 0x00, 0x00, 0x40, 0, 0},  // a billion pairs
      {13, 2, 0, 0, 0},                         // two pairs cannot fit in three bytes
      {9, 255, 0x00, 0x00, 0x00, 0x40, 0, 0},   // int32 list
      {10, 3, 0, 0, 0, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8},
      {11, 255, 0xFF, 0xFF, 0xFF, 0xFF},
      {14, 2, 0, 0, 1, 2, 3, 4},
  };
  for (const Bytes& bytes : rows) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    LogCapture log;
    size_t end = 0;
    EXPECT_EQ(decode(bytes, &end), EncodableValue());
    EXPECT_EQ(end, bytes.size());
    EXPECT_EQ(log.lines(), std::vector<std::string>{kInvalidRead});
  }
}

TEST(StandardCodec, NestingIsLimited) {
  const int limit = StandardCodecSerializer::kMaxNestingDepth;
  auto nestedLists = [](int depth, EncodableValue innermost) {
    EncodableValue value = std::move(innermost);
    for (int i = 0; i < depth; ++i) value = EncodableList{std::move(value)};
    return value;
  };
  {
    LogCapture log;
    const EncodableValue deepest = nestedLists(limit, EncodableValue(int32_t{1}));
    EXPECT_EQ(decode(encode(deepest)), deepest);
    EXPECT_TRUE(log.lines().empty());
  }
  {
    // One container more: the innermost list is rejected and reads as null.
    LogCapture log;
    const EncodableValue tooDeep = nestedLists(limit + 1, EncodableValue());
    EXPECT_EQ(decode(encode(tooDeep)), nestedLists(limit, EncodableValue()));
    EXPECT_EQ(log.lines(), std::vector<std::string>{kInvalidRead});
  }
  {
    // Far deeper input, maps and lists mixed, ends with one line instead of a stack overflow.
    Bytes hostile;
    for (int i = 0; i < 100000; ++i) {
      const Bytes level = i % 2 ? Bytes{12, 1} : Bytes{13, 1, 0};
      hostile.insert(hostile.end(), level.begin(), level.end());
    }
    LogCapture log;
    size_t end = 0;
    decode(hostile, &end);
    EXPECT_EQ(end, hostile.size());
    EXPECT_EQ(log.count(kInvalidRead), 1);
  }
}

TEST(StandardMethodCodec, MethodCalls) {
  const auto& codec = StandardMethodCodec::instance();
  const Bytes bytes = codec.encodeMethodCall(flutter::MethodCall("go", EncodableValue(true)));
  EXPECT_EQ(bytes, (Bytes{7, 2, 'g', 'o', 1}));
  auto call = codec.decodeMethodCall(bytes.data(), bytes.size());
  ASSERT_TRUE(call);
  EXPECT_EQ(call->methodName(), "go");
  EXPECT_EQ(call->arguments(), EncodableValue(true));

  const Bytes noArguments = codec.encodeMethodCall(flutter::MethodCall("x", EncodableValue()));
  EXPECT_EQ(noArguments, (Bytes{7, 1, 'x', 0}));

  LogCapture log;
  const Bytes notAName = {3, 1, 0, 0, 0, 0};
  EXPECT_EQ(codec.decodeMethodCall(notAName.data(), notAName.size()), nullptr);
  EXPECT_EQ(log.lines(),
            std::vector<std::string>{"Invalid method call; method name is not a string."});
}

TEST(StandardMethodCodec, Envelopes) {
  const auto& codec = StandardMethodCodec::instance();
  const EncodableValue seven(int32_t{7});
  EXPECT_EQ(codec.encodeSuccessEnvelope(&seven), (Bytes{0, 3, 7, 0, 0, 0}));
  EXPECT_EQ(codec.encodeSuccessEnvelope(nullptr), (Bytes{0, 0}));
  EXPECT_EQ(codec.encodeErrorEnvelope("E", "", nullptr), (Bytes{1, 7, 1, 'E', 0, 0}));
  const EncodableValue details(false);
  EXPECT_EQ(codec.encodeErrorEnvelope("E", "m", &details), (Bytes{1, 7, 1, 'E', 7, 1, 'm', 2}));

  struct Row {
    Bytes envelope;
    RecordedOutcome::Kind kind;
    std::optional<EncodableValue> value;
    std::string code, message;
  };
  const Row rows[] = {
      {{0, 3, 7, 0, 0, 0}, RecordedOutcome::kSuccess, seven, "", ""},
      {{0, 0}, RecordedOutcome::kSuccess, std::nullopt, "", ""},
      {{1, 7, 1, 'E', 0, 0}, RecordedOutcome::kError, std::nullopt, "E", ""},
      {{1, 7, 1, 'E', 7, 1, 'm', 2}, RecordedOutcome::kError, details, "E", "m"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(::testing::PrintToString(row.envelope));
    std::vector<RecordedOutcome> outcomes;
    RecordingResult result(&outcomes);
    EXPECT_TRUE(
        codec.decodeAndProcessResponseEnvelope(row.envelope.data(), row.envelope.size(), &result));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].kind, row.kind);
    EXPECT_EQ(outcomes[0].value, row.value);
    EXPECT_EQ(outcomes[0].code, row.code);
    EXPECT_EQ(outcomes[0].message, row.message);
  }
}

TEST(StandardMethodCodec, MalformedEnvelopes) {
  const auto& codec = StandardMethodCodec::instance();
  std::vector<RecordedOutcome> outcomes;
  RecordingResult result(&outcomes);
  {
    // An empty envelope: two invalid reads, then success without a value.
    LogCapture log;
    EXPECT_TRUE(codec.decodeAndProcessResponseEnvelope(nullptr, 0, &result));
    EXPECT_EQ(log.lines(), (std::vector<std::string>{kInvalidRead, kInvalidRead}));
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes[0].kind, RecordedOutcome::kSuccess);
    EXPECT_FALSE(outcomes[0].value);
  }
  outcomes.clear();
  const Bytes unknown = {2, 0};
  EXPECT_FALSE(codec.decodeAndProcessResponseEnvelope(unknown.data(), unknown.size(), &result));
  const Bytes numericCode = {1, 3, 1, 0, 0, 0, 0, 0};
  EXPECT_THROW(
      codec.decodeAndProcessResponseEnvelope(numericCode.data(), numericCode.size(), &result),
      std::bad_variant_access);
  const Bytes numericMessage = {1, 7, 1, 'E', 1, 0};
  EXPECT_THROW(
      codec.decodeAndProcessResponseEnvelope(numericMessage.data(), numericMessage.size(), &result),
      std::bad_variant_access);
  EXPECT_TRUE(outcomes.empty());
}
